// tunnel.so: key generation and the tunnel service, with the entry points of tunnel.dll.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "core/detail_code.hpp"
#include "core/utf.hpp"
#include "keys.hpp"
#include "platform/native.hpp"
#include "platform/posix/range_guard.hpp"
#include "platform/posix/service_host.hpp"
#include "platform/service_control.hpp"
#include "service_manager/tunnel_service_manager.hpp"
#include "tunnel_config/config_file.hpp"
#include "tunnel_runner.hpp"
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

// Ends the tunnel's process at once with the code's stable number, so that systemd records
// it as the unit's exit status and the service reports it; the message goes to standard
// error, which is the unit's journal.
[[noreturn]] void exit_with(DetailCode code, const std::string& message) {
    std::fprintf(stderr, "tunnel: %s: %s\n", std::string(to_text(code)).c_str(), message.c_str());
    std::fflush(stderr);
    std::exit(static_cast<int>(stable_number(code)));
}

std::optional<wglinux::TunnelSettings> open_settings(const std::string& path) {
    platform::NativePlatform native;
    const auto text = read_tunnel_config_text(native.get(), path);
    if (!text) {
        return std::nullopt;
    }
    // The same rules as APPLY_CONFIG's, whoever started the tunnel: a stored file that
    // breaks them is left as it is and routes nothing.
    if (!check_stored_tunnel_config(as_text(*text))) {
        exit_with(DetailCode::TUNNEL_CONFIG_STORED_INVALID,
                  "the stored configuration breaks the configuration rules; apply a new one");
    }
    return wglinux::parse_tunnel_text(as_text(*text));
}

std::string ranges_text(const wglinux::TunnelSettings& settings) {
    std::string text;
    for (const auto& range : wglinux::tunnel_ranges(settings))
        text += (text.empty() ? "" : ", ") + range.text();
    return text;
}

// A tunnel that ends by itself leaves its ranges refused: the unit's journal says so once,
// with the reason, since nothing else tells why traffic to them fails.
void say_blocked(const wglinux::TunnelSettings& settings, const char* reason) {
    std::fprintf(stderr,
                 "tunnel: traffic to %s blocked until the tunnel is up (%s); "
                 "`vpnctl stop` lifts the block\n",
                 ranges_text(settings).c_str(), reason);
    std::fflush(stderr);
}

const char* reason_of(wglinux::TunnelEnd end) {
    switch (end) {
        case wglinux::TunnelEnd::endpoint_unresolved:
            return "its endpoint does not resolve";
        case wglinux::TunnelEnd::interface_in_use:
            return "its interface name is taken";
        case wglinux::TunnelEnd::daemon_ended:
            return "wireguard-go ended";
        default:
            return "it could not be brought up";
    }
}

// The two common causes of a tunnel that cannot come up.
[[noreturn]] void give_up(DetailCode code, const wglinux::TunnelSettings& settings) {
    if (code == DetailCode::TUNNEL_ENDPOINT_UNRESOLVED) {
        exit_with(code, "endpoint \"" + settings.endpoint_host +
                            "\" does not resolve to an IPv4 address");
    }
    exit_with(code, "interface " + std::string(wglinux::kTunnelInterfaceName) +
                        " is already in use by something else");
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

__attribute__((visibility("default"))) bool WireGuardTunnelService(const char16_t* config_path) {
    const auto path = path_from(config_path);
    if (!path) {
        return false;
    }
    const auto settings = open_settings(*path);
    if (!settings) {
        return false;
    }
    // Under systemd the unit is of type notify: it is active once the interface is up.
    // Unrecorded: the service records what it holds, and the tunnel may not write there.
    platform::PosixRangeGuard guard;
    const wglinux::TunnelEnd end =
        wglinux::run_tunnel(*settings, [] { platform::notify_init_system("READY=1"); }, guard);
    if (end != wglinux::TunnelEnd::stopped && end != wglinux::TunnelEnd::not_held)
        say_blocked(*settings, reason_of(end));
    if (end == wglinux::TunnelEnd::endpoint_unresolved)
        give_up(DetailCode::TUNNEL_ENDPOINT_UNRESOLVED, *settings);
    if (end == wglinux::TunnelEnd::interface_in_use)
        give_up(DetailCode::TUNNEL_INTERFACE_IN_USE, *settings);
    // Only a stop request is a clean end; a daemon that vanished by itself is a failure.
    return end == wglinux::TunnelEnd::stopped;
}

}  // extern "C"

// The signatures must stay those the service loads.
static_assert(std::is_same_v<decltype(&WireGuardGenerateKeypair), WireGuardGenerateKeypairFn>);
static_assert(std::is_same_v<decltype(&WireGuardTunnelService), WireGuardTunnelServiceFn>);
