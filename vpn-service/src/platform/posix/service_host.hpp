#pragma once

#include <mutex>

#include "platform/service_host.hpp"

namespace velnaro::platform {

// The service runs in the foreground: the calling thread takes the part of the service
// control dispatcher (it turns SIGTERM and SIGINT into the Stop control) and the service
// main runs on a thread of its own, as the service control manager would run it.
class PosixServiceHost final : public ServiceHost {
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

  private:
    // False when no handler is registered yet.
    bool deliver_control(std::uint32_t control);
    // Ends the dispatcher's current wait so it looks again (the service main returned).
    void wake_dispatcher();
    void forget_wake_fd();

    std::mutex mutex_;
    // The dispatcher's wake-up descriptor while it runs, -1 otherwise.
    int wake_fd_ = -1;
    std::string service_name_;
    ControlHandler handler_ = nullptr;
    void* context_ = nullptr;
};

// Sends one state line ("READY=1", "STOPPING=1") to the init system's notification socket
// named by NOTIFY_SOCKET; false when there is none or the send fails.
bool notify_init_system(std::string_view state);

}  // namespace velnaro::platform
