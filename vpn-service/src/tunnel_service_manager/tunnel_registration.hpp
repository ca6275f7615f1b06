#pragma once

#include <string>
#include <string_view>

#include "platform/service_control.hpp"

namespace velnaro {

inline constexpr std::string_view kTunnelServiceDisplayName = "Velnaro Secure Tunnel";
inline constexpr std::string_view kTunnelServiceDescription =
    "Tunnel WireGuard prive gere automatiquement par VelnaroVpnService.";
inline constexpr std::string_view kTunnelConfigFileName = "VelnaroTunnel.conf.dpapi";

// The whole registration of the tunnel's own service, running `executable` in
// tunnel-service mode on `config_path`.
platform::ServiceRegistration tunnel_service_registration(std::string_view executable,
                                                          std::string_view config_path);

// An absolute path whose last component is exactly the configuration file's name.
bool is_tunnel_config_path(std::string_view config_path);

}  // namespace velnaro
