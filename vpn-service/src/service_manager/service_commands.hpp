#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "platform/platform.hpp"

namespace velnaro {

// The result of --install-service, --uninstall-service and --service-status.
struct ServiceCommandResult {
    bool success = false;
    std::string_view state;
    std::optional<Failure> failure;

    bool operator==(const ServiceCommandResult&) const = default;
};

inline constexpr std::string_view kServiceDisplayName = "Velnaro VPN Service";
// The argument the service is registered with, which runs the executable as the service.
inline constexpr std::string_view kServiceModeArgument = "--service";
inline constexpr std::string_view kServiceDescription =
    "Gere la connexion securisee privee de Velnaro sans exposer les cles au frontend.";

// What installing registers for the service executable at that path. Packages render their
// unit from it too, so that a packaged service and an installed one are the same.
platform::ServiceRegistration service_registration(std::string_view executable);

// Registers and starts the service, or starts an existing stopped one.
ServiceCommandResult install_service(platform::Platform& platform);
// Removes the tunnel's own service, then stops and deletes this one.
ServiceCommandResult uninstall_service(platform::Platform& platform);
// The service's state as the service manager sees it; changes nothing.
ServiceCommandResult query_service_status(platform::Platform& platform);

// {"success":...,"serviceName":"VelnaroVpnService","state":...,"detailCode":...}
std::string to_json(const ServiceCommandResult& result);

}  // namespace velnaro
