#include <array>
#include <string>
#include <vector>

#include "core/uuid.hpp"
#include "platform/paths.hpp"
#include "protected_storage/data_directory.hpp"
#include "protected_storage/sealed_blob.hpp"
#include "protected_storage/secret_file.hpp"
#include "tunnel_config/config_file.hpp"

namespace velnaro {
namespace {

// The largest blob open_sealed_secret accepts; anything longer is refused there.
constexpr std::size_t kMaxSealedFileBytes = 16384;

Outcome<std::vector<std::uint8_t>> render_and_seal(platform::Platform& platform,
                                                  const DeviceIdentity& identity,
                                                  const TunnelConfig& config) {
    // The clear text lives only in this scope; its buffer wipes itself on every return.
    const auto text = render_tunnel_config_text(identity, config);
    if (!text)
        return fail(text.error());
    return seal_secret(platform, *text, kTunnelDescription);
}

constexpr std::string_view kTemporarySuffix = ".tmp";

std::string temporary_prefix() {
    return "." + std::string(kTunnelConfigFileName) + ".";
}

// A fresh name per write, so two writers never share a temporary file.
Outcome<std::string> temporary_path(platform::Platform& platform, std::string_view directory) {
    std::array<std::uint8_t, 16> random{};
    if (auto filled = platform.system.random_bytes(random); !filled)
        return fail(DetailCode::TUNNEL_CONFIG_WRITE_FAILED, std::move(filled.error()));
    return join_path(directory, temporary_prefix() + uuid_to_text(make_uuid_v4(random)) +
                                    std::string(kTemporarySuffix));
}

}  // namespace

bool is_config_temporary_name(std::string_view name) {
    const std::string prefix = temporary_prefix();
    if (!name.starts_with(prefix) || !name.ends_with(kTemporarySuffix))
        return false;
    const std::string_view uuid =
        name.substr(prefix.size(), name.size() - prefix.size() - kTemporarySuffix.size());
    const auto parsed = parse_uuid_text(uuid);
    return parsed && uuid_to_text(*parsed) == uuid;
}

Outcome<std::string> store_tunnel_config(Runtime& runtime, std::string_view data_directory,
                                        const TunnelConfig& config) {
    IdentityKeeper keeper{std::string(data_directory)};
    return store_tunnel_config(runtime, keeper, config);
}

Outcome<std::string> store_tunnel_config(Runtime& runtime, IdentityKeeper& keeper,
                                        const TunnelConfig& config) {
    const std::string& data_directory = keeper.data_directory();
    // The identity ensured here is the one the configuration carries: identity.dat is not
    // read a second time.
    const auto identity = keeper.ensure(runtime);
    if (!identity)
        return fail(identity.error());
    const auto blob = render_and_seal(runtime.platform, *identity, config);
    if (!blob)
        return fail(blob.error());

    std::string final_path = join_path(data_directory, kTunnelConfigFileName);
    const auto temporary = temporary_path(runtime.platform, data_directory);
    if (!temporary)
        return fail(temporary.error());
    if (auto placed = write_secret_file(runtime.platform,
                                        {.path = final_path,
                                         .temporary = *temporary,
                                         .replace = true,
                                         .write_failed = DetailCode::TUNNEL_CONFIG_WRITE_FAILED,
                                         .move_failed = DetailCode::TUNNEL_CONFIG_REPLACE_FAILED},
                                        *blob);
        !placed) {
        return fail(placed.error());
    }
    if (auto secured = secure_path(runtime.platform, final_path); !secured) {
        return fail(secured.error());
    }
    return final_path;
}

Outcome<SecretBuffer> read_tunnel_config_text(platform::Platform& platform, std::string_view path) {
    auto blob = platform.files.read_file(path, kMaxSealedFileBytes);
    if (!blob)
        return fail(DetailCode::TUNNEL_CONFIG_READ_FAILED, std::move(blob.error()));
    return open_sealed_secret(platform, *blob, kTunnelDescription);
}

Outcome<void> check_stored_tunnel_config_file(platform::Platform& platform, std::string_view path) {
    const auto blob = platform.files.read_file(path, kMaxSealedFileBytes);
    // A file that this reader refuses (a link in its place, more than the size limit) is
    // never handed to the library, which would open it a second time, on its own terms.
    const bool refused = blob ? blob->size() > kMaxSealedFileBytes
                              : platform.files.path_kind(path) != platform::PathKind::missing;
    if (refused)
        return fail(DetailCode::TUNNEL_CONFIG_STORED_INVALID);
    // A missing file, or one that does not open, fails in the library the same way, which
    // reports it as before; only a text that opens can route anything, and only that is
    // judged.
    if (!blob)
        return {};
    const auto text = open_sealed_secret(platform, *blob, kTunnelDescription);
    if (!text)
        return {};
    return check_stored_tunnel_config(as_text(*text));
}

}  // namespace velnaro
