#pragma once

#include "platform/service_control.hpp"

namespace velnaro::platform {

// The service control manager (advapi32).
class Win32ServiceControl final : public ServiceControl {
  public:
    std::optional<ScHandle> open_manager(std::uint32_t access) override;
    std::expected<ScHandle, OpenServiceFailure> open_service(ScHandle manager,
                                                             std::string_view name,
                                                             std::uint32_t access) override;
    std::optional<ScHandle> create_service(ScHandle manager,
                                           const ServiceRegistration& registration,
                                           std::uint32_t access) override;
    bool change_service_config(ScHandle service, const ServiceRegistration& registration) override;
    bool set_service_description(ScHandle service, std::string_view description) override;
    bool set_service_sid_type(ScHandle service, std::uint32_t sid_type) override;
    std::optional<std::uint32_t> query_service_sid_type(ScHandle service) override;
    bool set_required_privileges(ScHandle service,
                                 const std::vector<std::string>& privileges) override;
    bool set_recovery(ScHandle service, const ServiceRecovery& recovery) override;
    std::optional<std::uint32_t> query_service_state(ScHandle service) override;
    std::optional<ServiceStatus> query_service_status(ScHandle service) override;
    bool start_service(ScHandle service) override;
    bool stop_service(ScHandle service) override;
    bool delete_service(ScHandle service) override;
    void close_service_handle(ScHandle handle) override;
};

}  // namespace velnaro::platform
