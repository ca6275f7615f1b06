#include "service/service_commands.hpp"

#include <array>
#include <nlohmann/json.hpp>

#include "core/command_line.hpp"
#include "core/version.hpp"
#include "platform/paths.hpp"
#include "tunnel_service_manager/tunnel_registration.hpp"
#include "tunnel_service_manager/tunnel_service_manager.hpp"
#include "wireguard/component_location.hpp"

namespace velnaro {

namespace {

using platform::ScHandle;
namespace access = platform::access;

constexpr std::array<std::string_view, 7> kStateNames = {
    "STOPPED",          "START_PENDING", "STOP_PENDING", "RUNNING",
    "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};

std::optional<std::string_view> state_name(std::uint32_t state) {
    if (state < 1 || state > kStateNames.size())
        return std::nullopt;
    return kStateNames[state - 1];
}

ServiceCommandResult passed(std::string_view state) {
    return {true, state, std::nullopt};
}
ServiceCommandResult install_failed(DetailCode code) {
    return {false, "INSTALL_FAILED", code};
}
ServiceCommandResult uninstall_failed(DetailCode code) {
    return {false, "UNINSTALL_FAILED", code};
}

// Closes the service handle before the manager handle, on every path.
class Handles {
  public:
    Handles(platform::ServiceControl& services, ScHandle manager)
        : services_(services), manager_(manager) {}
    ~Handles() {
        if (service_)
            services_.close_service_handle(*service_);
        services_.close_service_handle(manager_);
    }
    Handles(const Handles&) = delete;
    Handles& operator=(const Handles&) = delete;

    ScHandle manager() const { return manager_; }
    void keep_service(ScHandle service) { service_ = service; }

  private:
    platform::ServiceControl& services_;
    ScHandle manager_;
    std::optional<ScHandle> service_;
};

ServiceCommandResult start_existing(platform::ServiceControl& services, ScHandle service) {
    const auto sid_type = services.query_service_sid_type(service);
    if (!sid_type)
        return install_failed(DetailCode::SERVICE_SID_QUERY_FAILED);
    if (*sid_type != platform::kServiceSidTypeUnrestricted) {
        return install_failed(DetailCode::SERVICE_SID_INVALID);
    }
    const auto state = services.query_service_state(service);
    if (!state || !state_name(*state)) {
        return install_failed(DetailCode::SERVICE_STATUS_QUERY_FAILED);
    }
    if (*state == platform::service_state::kStopped && !services.start_service(service)) {
        return install_failed(DetailCode::SERVICE_START_FAILED);
    }
    return passed("ALREADY_INSTALLED");
}

Result<std::string> service_command_line(platform::Platform& platform) {
    const auto executable = platform.system.executable_path();
    if (!executable)
        return fail(DetailCode::EXECUTABLE_PATH_UNAVAILABLE);
    if (!is_absolute_path(*executable) ||
        platform.files.path_kind(*executable) != platform::PathKind::regular_file) {
        return fail(DetailCode::EXECUTABLE_PATH_INVALID);
    }
    // The service runs this executable and the components beside it with the highest rights
    // of the machine, so nobody else may be able to change them. The component folder may
    // still be missing; its parent is then covered by the check of the executable.
    const auto parent = parent_directory(*executable);
    std::optional<std::string> components;
    if (parent) {
        if (auto found = platform.files.canonical_directory(join_path(*parent, "vpn")))
            components = std::move(*found);
    }
    if (!wireguard::location_is_safe(platform, *executable, components))
        return fail(DetailCode::SERVICE_LOCATION_UNSAFE);
    return quote_command_line_argument(*executable) + " " +
           quote_command_line_argument("--service");
}

ServiceCommandResult create_and_start(platform::Platform& platform, Handles& handles) {
    auto command_line = service_command_line(platform);
    if (!command_line)
        return install_failed(command_line.error());
    platform::ServiceRegistration registration;
    registration.name = std::string(kServiceName);
    registration.display_name = std::string(kServiceDisplayName);
    registration.command_line = std::move(*command_line);
    registration.dependencies = {"Nsi", "TcpIp"};
    platform::ServiceControl& services = platform.services;
    const auto service =
        services.create_service(handles.manager(), registration,
                                access::kServiceQueryConfig | access::kServiceChangeConfig |
                                    access::kServiceQueryStatus | access::kServiceStart);
    if (!service)
        return install_failed(DetailCode::SERVICE_CREATE_FAILED);
    handles.keep_service(*service);
    if (!services.set_service_description(*service, kServiceDescription)) {
        return install_failed(DetailCode::SERVICE_DESCRIPTION_FAILED);
    }
    if (!services.set_service_sid_type(*service, platform::kServiceSidTypeUnrestricted)) {
        return install_failed(DetailCode::SERVICE_SID_CONFIGURATION_FAILED);
    }
    if (!services.set_required_privileges(*service, kServicePrivileges) ||
        !services.set_recovery(*service, kRestartOnFailure)) {
        return install_failed(DetailCode::SERVICE_HARDENING_FAILED);
    }
    if (!services.start_service(*service))
        return install_failed(DetailCode::SERVICE_START_FAILED);
    return passed("INSTALLED");
}

}  // namespace

ServiceCommandResult install_service(platform::Platform& platform) {
    platform::ServiceControl& services = platform.services;
    const auto manager =
        services.open_manager(access::kManagerConnect | access::kManagerCreateService);
    if (!manager)
        return install_failed(DetailCode::SERVICE_MANAGER_ACCESS_DENIED);
    Handles handles(services, *manager);
    const auto existing = services.open_service(
        *manager, kServiceName,
        access::kServiceQueryConfig | access::kServiceQueryStatus | access::kServiceStart);
    if (existing) {
        handles.keep_service(*existing);
        return start_existing(services, *existing);
    }
    return create_and_start(platform, handles);
}

ServiceCommandResult uninstall_service(platform::Platform& platform) {
    if (auto removed = remove_tunnel_service(platform); !removed) {
        return uninstall_failed(removed.error());
    }
    platform::ServiceControl& services = platform.services;
    const auto manager = services.open_manager(access::kManagerConnect);
    if (!manager)
        return uninstall_failed(DetailCode::SERVICE_MANAGER_ACCESS_DENIED);
    Handles handles(services, *manager);
    const auto service =
        services.open_service(*manager, kServiceName,
                              access::kDelete | access::kServiceStop | access::kServiceQueryStatus);
    // Only a service that is not there is "not installed": one this account may not remove
    // is still installed, and saying otherwise would report a failure as success.
    if (!service && service.error() == platform::OpenServiceFailure::missing)
        return passed("NOT_INSTALLED");
    if (!service && service.error() == platform::OpenServiceFailure::access_denied)
        return uninstall_failed(DetailCode::SERVICE_ACCESS_DENIED);
    if (!service)
        return uninstall_failed(DetailCode::SERVICE_MANAGER_UNAVAILABLE);
    handles.keep_service(*service);
    const auto state = services.query_service_state(*service);
    if (!state || !state_name(*state)) {
        return uninstall_failed(DetailCode::SERVICE_STATUS_QUERY_FAILED);
    }
    if (*state != platform::service_state::kStopped && !services.stop_service(*service)) {
        return uninstall_failed(DetailCode::SERVICE_STOP_FAILED);
    }
    if (!services.delete_service(*service))
        return uninstall_failed(DetailCode::SERVICE_DELETE_FAILED);
    return passed("REMOVAL_SCHEDULED");
}

ServiceCommandResult query_service_status(platform::Platform& platform) {
    platform::ServiceControl& services = platform.services;
    const auto manager = services.open_manager(access::kManagerConnect);
    if (!manager)
        return {false, "UNKNOWN", DetailCode::SERVICE_MANAGER_UNAVAILABLE};
    Handles handles(services, *manager);
    const auto service = services.open_service(*manager, kServiceName, access::kServiceQueryStatus);
    if (!service)
        return passed("NOT_INSTALLED");
    handles.keep_service(*service);
    const auto state = services.query_service_state(*service);
    const auto name = state ? state_name(*state) : std::nullopt;
    if (!name)
        return {false, "UNKNOWN", DetailCode::SERVICE_STATUS_QUERY_FAILED};
    return passed(*name);
}

std::string to_json(const ServiceCommandResult& result) {
    nlohmann::ordered_json json;
    json["success"] = result.success;
    json["serviceName"] = std::string(kServiceName);
    json["state"] = std::string(result.state);
    json["detailCode"] = result.detail_code
                             ? nlohmann::ordered_json(std::string(to_text(*result.detail_code)))
                             : nlohmann::ordered_json(nullptr);
    return json.dump();
}

}  // namespace velnaro
