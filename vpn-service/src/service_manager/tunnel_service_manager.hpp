#pragma once

#include <functional>
#include <string_view>

#include "core/connection_state.hpp"
#include "core/failure.hpp"
#include "core/joined_text.hpp"
#include "core/version.hpp"
#include "platform/platform.hpp"

namespace velnaro {

inline constexpr std::string_view kTunnelServicePrefix = "WireGuardTunnel$";
inline constexpr std::string_view kTunnelServiceName = joined_text<kTunnelServicePrefix, kTunnelName>;

// Creates or updates the tunnel's own service so that it runs with `config_path`.
// A failure keeps the system's error of the call that failed as its cause.
Outcome<void> configure_tunnel_service(platform::Platform& platform,
                                       std::string_view config_path);
Outcome<void> start_tunnel_service(platform::Platform& platform);
// Stops and waits up to 15 seconds; success when the service does not exist.
Outcome<void> stop_tunnel_service(platform::Platform& platform);
// Whether a tunnel service that stopped by itself with a failure is reported as that
// failure's detail code (the default), or as DISCONNECTED once a STOP has acknowledged it.
enum class TunnelFailure { reported, dismissed };
// `meanwhile`, when given, runs while the service manager answers (see
// ServiceControl::query_service_status_while); not at all when the tunnel is not installed.
Outcome<ConnectionState> query_tunnel_service(platform::Platform& platform,
                                             TunnelFailure failure = TunnelFailure::reported,
                                             const std::function<void()>& meanwhile = {});
// Lets go of the routing that keeps the tunnel's ranges inside the tunnel, which the tunnel
// leaves in place when it ends so that they stay refused while it is down: for STOP and
// removal, never for a restart. Success when there is nothing to release.
Outcome<void> release_tunnel_routes(platform::Platform& platform);
// Stops, deletes, then releases the routes; success when the service does not exist.
Outcome<void> remove_tunnel_service(platform::Platform& platform);

}  // namespace velnaro
