#pragma once

#include "platform/service_host.hpp"

namespace velnaro::platform {

// The service control dispatcher of advapi32. A process runs one service, so the service
// main and the control handler are kept in process-wide slots that the Win32 callbacks
// reach.
class Win32ServiceHost final : public ServiceHost {
  public:
    OsResult<void> run_dispatcher(std::string_view service_name, ServiceMain main) override;
    OsResult<ServiceStatusHandle> register_control_handler(std::string_view service_name,
                                                           ControlHandler handler,
                                                           void* context) override;
    OsResult<void> set_service_status(ServiceStatusHandle handle,
                                      const ServiceStatusReport& report) override;
    void name_current_thread(std::string_view name) override;
    OsResult<void> report_stopped_before_start(std::string_view service_name,
                                               const ServiceStatusReport& report) override;
    void explain_give_up(std::string_view reason) override;
};

}  // namespace velnaro::platform
