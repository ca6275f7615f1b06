#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_error.hpp"

namespace velnaro::platform {

struct ServiceStatusHandle {
    std::uintptr_t value = 0;
};

// The values of one service status report, in the order of the platform's record.
struct ServiceStatusReport {
    std::uint32_t service_type = 0;
    std::uint32_t current_state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t check_point = 0;
    std::uint32_t wait_hint_ms = 0;

    bool operator==(const ServiceStatusReport&) const = default;
};

namespace service_control {
inline constexpr std::uint32_t kStop = 1;
inline constexpr std::uint32_t kPause = 2;
inline constexpr std::uint32_t kContinue = 3;
inline constexpr std::uint32_t kInterrogate = 4;
inline constexpr std::uint32_t kShutdown = 5;
inline constexpr std::uint32_t kParamChange = 6;
inline constexpr std::uint32_t kPreshutdown = 0xF;
}  // namespace service_control

inline constexpr std::uint32_t kErrorCallNotImplemented = 120;
inline constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;

// The process's side of the service manager: the dispatcher that runs the service main,
// the control handler registration, the status reports.
// Linux: the dispatcher runs the service main in the foreground and turns SIGTERM and
// SIGINT into the Stop control; reports go to systemd's notification socket when there is
// one.
class ServiceHost {
  public:
    using ServiceMain = std::function<void(std::vector<std::string> arguments)>;
    using ControlHandler = std::uint32_t (*)(std::uint32_t control, std::uint32_t event_type,
                                             void* event_data, void* context);

    virtual ~ServiceHost() = default;

    // Blocks until the service main has returned. Fails when the process could not connect
    // to the service manager.
    virtual OsResult<void> run_dispatcher(std::string_view service_name, ServiceMain main) = 0;
    virtual OsResult<ServiceStatusHandle> register_control_handler(std::string_view service_name,
                                                                   ControlHandler handler,
                                                                   void* context) = 0;
    virtual OsResult<void> set_service_status(ServiceStatusHandle handle,
                                              const ServiceStatusReport& report) = 0;
    // For a process started as `service_name` that gives up before it connected to the
    // service manager: connects as its dispatcher just long enough to report `report`.
    // Windows only; Linux does nothing, the exit status says it there. Fails when the process
    // was not started as that service or its dispatcher has already run.
    virtual OsResult<void> report_stopped_before_start(std::string_view service_name,
                                                       const ServiceStatusReport& report) = 0;
    // Says why a process that gives up ends. Linux: one line on standard error (the exit
    // status carries the number). Windows: nothing; the service manager holds the code, and a
    // service has nobody to read its output.
    virtual void explain_give_up(std::string_view reason) = 0;
    // Gives the calling thread a name that debuggers and process listings show.
    virtual void name_current_thread(std::string_view name) = 0;
};

}  // namespace velnaro::platform
