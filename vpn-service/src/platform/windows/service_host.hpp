#pragma once

#include <windows.h>

#include "platform/service_host.hpp"

namespace velnaro::platform {

// Sends the one report of a process that only reports that it gave up. When the handler
// could not be registered (`status` is null) or the report not sent, the process is ended
// through `end` with a failure instead: the manager would otherwise keep it starting and
// the process would linger in the dispatcher.
void send_give_up_report(SERVICE_STATUS_HANDLE status, const ServiceStatusReport& report,
                         void (*end)(UINT code));

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
