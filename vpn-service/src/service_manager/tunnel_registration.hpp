#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/joined_text.hpp"
#include "core/version.hpp"
#include "platform/service_control.hpp"
#include "wireguard/tunnel_service_mode.hpp"

namespace velnaro {

inline constexpr std::string_view kTunnelServiceDisplayName = "Velnaro Secure Tunnel";
// The argument the tunnel service is registered with, before its configuration's path.
inline constexpr std::string_view kTunnelServiceModeArgument = "--tunnel-service";
inline constexpr std::string_view kTunnelDescriptionLead =
    "Tunnel WireGuard prive gere automatiquement par ";
inline constexpr std::string_view kSentenceEnd = ".";
inline constexpr std::string_view kTunnelServiceDescription =
    joined_text<kTunnelDescriptionLead, kServiceName, kSentenceEnd>;

// Both services are restarted when they fail, 5 s after the first failure and 30 s after each
// further one; a day without failure starts the count over.
inline const platform::ServiceRecovery kRestartOnFailure{
    {std::chrono::seconds(5), std::chrono::seconds(30)}, std::chrono::hours(24)};

// The only privileges each service's process keeps. The service itself needs none beyond
// traversing folders; the tunnel loads the adapter's driver and impersonates while it sets
// the adapter up.
inline const std::vector<std::string> kServicePrivileges{"SeChangeNotifyPrivilege"};
inline const std::vector<std::string> kTunnelServicePrivileges{
    "SeChangeNotifyPrivilege", "SeImpersonatePrivilege", "SeLoadDriverPrivilege"};

// The whole registration of the tunnel's own service, running `executable` in
// tunnel-service mode on `config_path`.
platform::ServiceRegistration tunnel_service_registration(std::string_view executable,
                                                          std::string_view config_path);

// An absolute path whose last component is exactly the configuration file's name.
bool is_tunnel_config_path(std::string_view config_path);

}  // namespace velnaro
