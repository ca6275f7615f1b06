// tunnel.so: key generation and the tunnel service, with the entry points of tunnel.dll.

#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "core/utf.hpp"
#include "keys.hpp"
#include "platform/native.hpp"
#include "platform/posix/local_service_state.hpp"
#include "platform/service_control.hpp"
#include "tunnel_config/config_file.hpp"
#include "tunnel_runner.hpp"
#include "tunnel_service_manager/tunnel_service_manager.hpp"
#include "tunnel_text.hpp"
#include "wireguard/component_abi.hpp"

namespace {

using namespace velnaro;

std::optional<std::string> path_from(const char16_t* path) {
    if (path == nullptr) {
        return std::nullopt;
    }
    const std::u16string_view text(path);
    std::string utf8 = from_platform_text(text);
    // A replaced unpaired surrogate would name another file than the caller meant.
    if (text.empty() || utf8.find("\xEF\xBF\xBD") != std::string::npos) {
        return std::nullopt;
    }
    return utf8;
}

std::optional<wglinux::TunnelSettings> open_settings(const std::string& path) {
    platform::NativePlatform native;
    const auto text = read_tunnel_config_text(native.get(), path);
    if (!text) {
        return std::nullopt;
    }
    return wglinux::parse_tunnel_text(as_text(*text));
}

void report_state(std::uint32_t state) {
    // Reports only count when the local service manager started this process; run by hand,
    // the tunnel works the same without them.
    platform::report_local_service_state(kTunnelServiceName, state);
}

}  // namespace

extern "C" {

// Returns nothing, as the Windows export; a failure leaves both keys all zero.
__attribute__((visibility("default"))) void WireGuardGenerateKeypair(std::uint8_t* public_key,
                                                                     std::uint8_t* private_key) {
    if (public_key == nullptr || private_key == nullptr) {
        return;
    }
    if (!wglinux::generate_x25519_keypair(std::span<std::uint8_t, 32>(public_key, 32),
                                          std::span<std::uint8_t, 32>(private_key, 32))) {
        std::memset(public_key, 0, 32);
        std::memset(private_key, 0, 32);
    }
}

__attribute__((visibility("default"))) std::uint32_t WireGuardTunnelService(
    const char16_t* config_path) {
    const auto path = path_from(config_path);
    if (!path) {
        return 0;
    }
    const auto settings = open_settings(*path);
    if (!settings) {
        return 0;
    }
    const wglinux::TunnelEnd end =
        wglinux::run_tunnel(*settings, [] { report_state(platform::service_state::kRunning); });
    // Only a stop request is a clean end; a daemon that vanished by itself is a failure.
    return end == wglinux::TunnelEnd::stopped ? 1 : 0;
}

}  // extern "C"

// The signatures must stay those the service loads.
static_assert(std::is_same_v<decltype(&WireGuardGenerateKeypair), WireGuardGenerateKeypairFn>);
static_assert(std::is_same_v<decltype(&WireGuardTunnelService), WireGuardTunnelServiceFn>);
