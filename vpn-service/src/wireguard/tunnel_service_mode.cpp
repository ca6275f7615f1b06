#include "wireguard/tunnel_service_mode.hpp"

#include "core/utf.hpp"
#include "platform/paths.hpp"
#include "wireguard/components.hpp"
#include "wireguard/keys.hpp"

namespace velnaro {
namespace {

// The service control manager starts this mode with a command line that anyone able to
// edit the registration could change, so the path is held to exactly the file the
// service writes before any library is loaded.
bool is_acceptable_config_path(platform::Platform& platform, std::string_view path) {
    if (!is_valid_utf8(path) || !is_absolute_path(path))
        return false;
    if (file_name(path) != kTunnelConfigFileName)
        return false;
    return platform.files.path_kind(path) == platform::PathKind::regular_file;
}

}  // namespace

Outcome<void> run_tunnel_service(Runtime& runtime, std::string_view config_path,
                          const ConfigContentCheck& check_content,
                          const GatewaySource& gateway) {
    if (!is_acceptable_config_path(runtime.platform, config_path)) {
        return fail(DetailCode::TUNNEL_CONFIG_PATH_INVALID);
    }
    // Only APPLY_CONFIG validates what it stores; a file kept from an older release, or
    // changed since, is held to today's rules before the tunnel routes anything.
    if (auto checked = check_content(); !checked)
        return checked;
    // Converted up front: a path that cannot reach the library intact is refused before
    // anything is loaded.
    const auto wide_path = to_platform_text(config_path);
    if (!wide_path)
        return fail(DetailCode::TUNNEL_CONFIG_PATH_INVALID);

    auto directory = resolve_component_directory(runtime.platform);
    if (!directory)
        return fail(directory.error());
    auto components = runtime.components.load(runtime.platform, *directory);
    if (!components)
        return fail(components.error());

    // Stopped and joined when the tunnel has ended, before this returns.
    const auto follower = follow_gateway(runtime, **components, gateway ? gateway() : std::nullopt);
    if (!(*components)->tunnel_service(wide_path->c_str())) {
        return fail(DetailCode::TUNNEL_SERVICE_FAILED);
    }
    return {};
}

ComponentSelfTestResult component_self_test(Runtime& runtime) {
    auto directory = resolve_component_directory(runtime.platform);
    if (!directory)
        return {false, std::move(directory.error())};
    auto pair = generate_keypair(runtime, *directory);
    if (!pair)
        return {false, std::move(pair.error())};
    pair->private_key.wipe();
    return {true, std::nullopt};
}

}  // namespace velnaro
