#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "fake/faults.hpp"
#include "platform/service_host.hpp"

namespace velnaro::fake {

// The service control manager's side of a service process. run_dispatcher runs the service
// main on a thread of its own, as the manager does; once RUNNING is reported it calls
// `while_running` and then delivers `controls` in order, recording each answer.
// With `started_by_manager` false it is a process started from a console: the dispatcher
// and the early report fail to connect, as on Windows.
// Operations that can be failed: start_dispatcher, register_control_handler,
// set_service_status, report_stopped_before_start.
class FakeServiceHost final : public platform::ServiceHost {
  public:
    explicit FakeServiceHost(Faults& faults) : faults_(faults) {}

    platform::OsResult<void> run_dispatcher(std::string_view service_name,
                                            ServiceMain main) override;
    platform::OsResult<platform::ServiceStatusHandle> register_control_handler(
        std::string_view service_name, ControlHandler handler, void* context) override;
    platform::OsResult<void> set_service_status(
        platform::ServiceStatusHandle handle, const platform::ServiceStatusReport& report) override;
    void name_current_thread(std::string_view name) override;
    platform::OsResult<void> report_stopped_before_start(
        std::string_view service_name, const platform::ServiceStatusReport& report) override;
    void explain_give_up(std::string_view reason) override;

    // Calls the registered handler as the manager would.
    std::uint32_t deliver(std::uint32_t control);

    bool started_by_manager = true;
    std::function<void()> while_running;
    std::vector<std::uint32_t> controls;

    std::vector<std::uint32_t> answers() const;
    std::vector<platform::ServiceStatusReport> reports() const;
    std::vector<std::string> thread_names() const;
    std::string dispatched_service() const;
    // Reports made by report_stopped_before_start, as "<service>:<state>:<win32>:<specific>".
    std::vector<std::string> early_reports() const;
    std::vector<std::string> explanations() const;
    // The order of calls that matter for the start: "register", "report:<state>".
    std::vector<std::string> events() const;

  private:
    Faults& faults_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string dispatched_;
    ControlHandler handler_ = nullptr;
    void* context_ = nullptr;
    std::vector<std::uint32_t> answers_;
    std::vector<platform::ServiceStatusReport> reports_;
    std::vector<std::string> thread_names_;
    std::vector<std::string> early_reports_;
    std::vector<std::string> explanations_;
    std::vector<std::string> events_;
};

}  // namespace velnaro::fake
