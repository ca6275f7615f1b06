#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "core/version.hpp"
#include "platform/posix/tunnel_routing.hpp"
#include "platform/range_guard.hpp"
#include "tunnel_text.hpp"

namespace velnaro::wglinux {

inline constexpr std::string_view kTunnelInterfaceName = kTunnelName;

// Every end but `not_held` leaves the ranges held: refused while the tunnel is not up.
enum class TunnelEnd {
    not_held,             // the ranges could not be held; nothing ran
    not_brought_up,       // nothing ran; whatever was started has been taken down again
    stopped,              // SIGTERM or SIGINT ended it, and it has been taken down
    daemon_ended,         // the user-space daemon went away by itself; taken down
    endpoint_unresolved,  // the endpoint's host name gave no IPv4 address (after waiting
                          // out temporary failures); nothing ran
    interface_in_use,     // an interface or WireGuard socket of the name exists; left alone
};

// The allowed networks as the ranges the rules hold, host bits cleared, each once.
std::vector<platform::Ipv4Range> tunnel_ranges(const TunnelSettings& settings);

// What the guard holds for the tunnel: its ranges, interface, address and gateway.
platform::GuardedTunnel guarded_tunnel(const TunnelSettings& settings);

// Holds the ranges through `guard` first (the service has normally held them already; a
// tunnel that systemd restarts by itself holds them too), waits for the endpoint's name
// (wait_for_endpoint), brings the interface up from `settings`, calls `on_running` once it
// carries traffic, then blocks the calling thread until SIGTERM or SIGINT and takes
// everything down again. The two signals are blocked in the calling thread for the
// duration: one that arrives while the name is awaited ends the wait at once, one during
// the bring-up is kept and honoured right after it.
TunnelEnd run_tunnel(const TunnelSettings& settings, const std::function<void()>& on_running,
                     platform::RangeGuard& guard);

}  // namespace velnaro::wglinux
