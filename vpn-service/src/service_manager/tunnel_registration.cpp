#include "service_manager/tunnel_registration.hpp"

#include "core/command_line.hpp"
#include "core/utf.hpp"
#include "platform/paths.hpp"
#include "service_manager/tunnel_service_manager.hpp"

namespace velnaro {

platform::ServiceRegistration tunnel_service_registration(std::string_view executable,
                                                          std::string_view config_path) {
    platform::ServiceRegistration registration;
    registration.name = std::string(kTunnelServiceName);
    registration.display_name = std::string(kTunnelServiceDisplayName);
    registration.service_type = platform::kServiceWin32OwnProcess;
    registration.start_type = platform::kServiceAutoStart;
    registration.error_control = platform::kServiceErrorNormal;
    registration.command_line = quote_command_line_argument(executable) + " " +
                                quote_command_line_argument(kTunnelServiceModeArgument) + " " +
                                quote_command_line_argument(config_path);
    registration.dependencies = {"Nsi", "TcpIp"};
    return registration;
}

bool is_tunnel_config_path(std::string_view config_path) {
    const std::string_view name = file_name(config_path);
    return is_absolute_path(config_path) && is_valid_utf8(name) && name == kTunnelConfigFileName;
}

}  // namespace velnaro
