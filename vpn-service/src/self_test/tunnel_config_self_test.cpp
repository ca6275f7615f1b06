#include "self_test/tunnel_config_self_test.hpp"

#include <array>
#include <nlohmann/json.hpp>

#include "core/uuid.hpp"
#include "identity/identity_lifecycle.hpp"
#include "self_test/self_test_json.hpp"
#include "platform/paths.hpp"
#include "tunnel_config/config_file.hpp"

namespace velnaro {
namespace {

Outcome<std::string> form_test_directory(platform::Platform& platform) {
    constexpr DetailCode kFailed = DetailCode::TUNNEL_CONFIG_TEST_DIRECTORY_FAILED;
    auto temporary = or_fail(platform.files.temporary_directory(), kFailed);
    if (!temporary)
        return temporary;
    std::array<std::uint8_t, 16> random{};
    if (auto filled = platform.system.random_bytes(random); !filled)
        return fail(kFailed, std::move(filled.error()));
    return join_path(*temporary, "velnaro-vpn-config-" + uuid_to_text(make_uuid_v4(random)));
}

Outcome<void> store_and_check(Runtime& runtime, const std::string& directory) {
    auto& platform = runtime.platform;
    if (auto created = platform.files.create_directories(directory); !created)
        return fail(DetailCode::TUNNEL_CONFIG_TEST_DIRECTORY_FAILED, std::move(created.error()));
    if (auto identity = ensure_identity(runtime, directory); !identity)
        return fail(identity.error());
    const auto path = store_tunnel_config(runtime, directory, sample_tunnel_config());
    if (!path)
        return fail(path.error());
    {
        const auto text = read_tunnel_config_text(platform, *path);
        if (!text)
            return fail(text.error());
        if (auto checked = check_tunnel_config_text(as_text(*text)); !checked)
            return checked;
    }
    const auto plaintext = find_plaintext_config(platform, directory);
    if (!plaintext)
        return fail(plaintext.error());
    if (*plaintext)
        return fail(DetailCode::TUNNEL_CONFIG_PLAINTEXT_FOUND);
    return {};
}

}  // namespace

TunnelConfig sample_tunnel_config() {
    TunnelConfig config;
    config.config_version = 1;
    config.address = "10.250.10.21/32";
    config.gateway_public_key = std::string(43, 'A') + "=";
    config.endpoint_host = "gateway.example.net";
    config.endpoint_port = 51820;
    config.allowed_ips = {"10.250.0.0/16"};
    config.persistent_keepalive = 25;
    return config;
}

TunnelConfigSelfTestResult tunnel_config_self_test(Runtime& runtime) {
    const auto directory = form_test_directory(runtime.platform);
    if (!directory)
        return {false, false, directory.error()};
    const Outcome<void> outcome = store_and_check(runtime, *directory);
    // Also after a failed creation: a partly created directory must not stay behind. The
    // outcome of the removal does not change the result.
    runtime.platform.files.remove_tree(*directory);
    if (!outcome)
        return {false, false, outcome.error()};
    return {true, true, std::nullopt};
}

std::optional<std::string> tunnel_config_self_test_json(const TunnelConfigSelfTestResult& result) {
    return self_test_json([&](nlohmann::ordered_json& json) {
        json["success"] = result.success;
        json["encryptedOnly"] = result.encrypted_only;
        json["detailCode"] = nullable_detail_code(result.failure);
    });
}

}  // namespace velnaro
