#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/joined_text.hpp"
#include "core/version.hpp"
#include "platform/service_control.hpp"

namespace velnaro::platform {

// Where registrations are written; a unit file here overrides one of the same name that a
// package put into a vendor folder.
inline constexpr std::string_view kUnitDirectory = "/etc/systemd/system";
// Where packages and `cmake --install` put their units (/lib is the same folder where /usr
// is merged).
inline constexpr std::string_view kVendorUnitDirectories[] = {
    "/usr/local/lib/systemd/system", "/usr/lib/systemd/system", "/lib/systemd/system"};

// The unit that stands for a service name: every '$' (not allowed in unit names) becomes
// '-', and ".service" is appended, so "WireGuardTunnel$VelnaroTunnel" is
// "WireGuardTunnel-VelnaroTunnel.service". Names with any other character outside
// [A-Za-z0-9_.:-] have no unit.
std::optional<std::string> unit_name_for(std::string_view service_name);

// The text of the unit file for a registration, hardened by the role its command line gives
// (the service, or the tunnel service with the network capability). Nothing when a value
// would not survive as one line of a unit file (a line break, a control character).
std::optional<std::string> render_unit_file(const ServiceRegistration& registration,
                                            std::string_view description);

// The service's early-boot companion: a oneshot unit that holds the tunnel's ranges before
// any network is configured (`--hold-ranges`), registered and removed with the service. Its
// name, and its text for the service's registration; nothing for another registration.
inline constexpr std::string_view kRangesUnitSuffix = "-ranges.service";
inline constexpr std::string_view kUnitSuffix = ".service";
inline constexpr std::string_view kRangesUnit = joined_text<kServiceName, kRangesUnitSuffix>;
inline constexpr std::string_view kRangesUnitOwner = joined_text<kServiceName, kUnitSuffix>;
std::optional<std::string> render_ranges_unit_file(const ServiceRegistration& service);

// Maps systemd's ActiveState (and SubState) onto the service control manager's states.
std::optional<std::uint32_t> service_state_of_unit(std::string_view active_state,
                                                   std::string_view sub_state);

// How a unit's last run ended, from its Result and ExecMainStatus properties.
ServiceStatus service_status_of_unit(std::uint32_t state, std::string_view active_state,
                                     std::string_view result, int exec_main_status);

}  // namespace velnaro::platform
