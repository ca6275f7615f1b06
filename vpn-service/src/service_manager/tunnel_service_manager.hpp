#pragma once

#include <functional>
#include <string_view>

#include "core/connection_state.hpp"
#include "core/failure.hpp"
#include "core/result.hpp"
#include "platform/platform.hpp"

namespace velnaro {

inline constexpr std::string_view kTunnelServiceName = "WireGuardTunnel$VelnaroTunnel";

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
Result<ConnectionState> query_tunnel_service(platform::Platform& platform,
                                             TunnelFailure failure = TunnelFailure::reported,
                                             const std::function<void()>& meanwhile = {});
// Stops, then deletes; success when the service does not exist.
Outcome<void> remove_tunnel_service(platform::Platform& platform);

}  // namespace velnaro
