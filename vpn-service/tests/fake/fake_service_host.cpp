#include "fake/fake_service_host.hpp"

#include <thread>

#include "fake/fake_error.hpp"

namespace velnaro::fake {

platform::OsResult<void> FakeServiceHost::run_dispatcher(std::string_view service_name,
                                                         ServiceMain main) {
    if (faults_.should_fail("start_dispatcher") || !started_by_manager) {
        return fake_error("StartServiceCtrlDispatcherW", service_name,
                          platform::kErrorFailedServiceControllerConnect);
    }
    {
        std::lock_guard lock(mutex_);
        dispatched_ = std::string(service_name);
    }
    bool returned = false;
    std::thread service_thread([&] {
        main({std::string(service_name)});
        std::lock_guard lock(mutex_);
        returned = true;
        changed_.notify_all();
    });
    bool running = false;
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            for (const auto& report : reports_) {
                if (report.current_state == 4)
                    running = true;
            }
            return returned || running;
        });
    }
    if (running) {
        if (while_running)
            while_running();
        for (const std::uint32_t control : controls)
            deliver(control);
    }
    service_thread.join();
    return {};
}

platform::OsResult<platform::ServiceStatusHandle> FakeServiceHost::register_control_handler(
    std::string_view service_name, ControlHandler handler, void* context) {
    if (faults_.should_fail("register_control_handler"))
        return fake_error("register_control_handler", service_name);
    // ERROR_INVALID_PARAMETER, as the system refuses a missing handler.
    if (handler == nullptr)
        return fake_error("register_control_handler", service_name, 87);
    std::lock_guard lock(mutex_);
    // ERROR_SERVICE_NOT_IN_EXE, as for a name the dispatcher does not run.
    if (service_name != dispatched_)
        return fake_error("register_control_handler", service_name, 1083);
    handler_ = handler;
    context_ = context;
    events_.push_back("register");
    return platform::ServiceStatusHandle{7};
}

platform::OsResult<void> FakeServiceHost::set_service_status(
    platform::ServiceStatusHandle handle, const platform::ServiceStatusReport& report) {
    if (faults_.should_fail("set_service_status") || handle.value != 7)
        return fake_error("set_service_status");
    std::lock_guard lock(mutex_);
    reports_.push_back(report);
    events_.push_back("report:" + std::to_string(report.current_state));
    changed_.notify_all();
    return {};
}

void FakeServiceHost::name_current_thread(std::string_view name) {
    std::lock_guard lock(mutex_);
    thread_names_.emplace_back(name);
}

std::uint32_t FakeServiceHost::deliver(std::uint32_t control) {
    ControlHandler handler = nullptr;
    void* context = nullptr;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
        context = context_;
    }
    const std::uint32_t answer = handler == nullptr ? platform::kErrorCallNotImplemented
                                                    : handler(control, 0, nullptr, context);
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
    return answer;
}

std::vector<std::uint32_t> FakeServiceHost::answers() const {
    std::lock_guard lock(mutex_);
    return answers_;
}

std::vector<platform::ServiceStatusReport> FakeServiceHost::reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

std::vector<std::string> FakeServiceHost::thread_names() const {
    std::lock_guard lock(mutex_);
    return thread_names_;
}

platform::OsResult<void> FakeServiceHost::report_stopped_before_start(
    std::string_view service_name, const platform::ServiceStatusReport& report) {
    if (faults_.should_fail("report_stopped_before_start"))
        return fake_error("report_stopped_before_start", service_name);
    if (!started_by_manager) {
        return fake_error("StartServiceCtrlDispatcherW", service_name,
                          platform::kErrorFailedServiceControllerConnect);
    }
    std::lock_guard lock(mutex_);
    early_reports_.push_back(std::string(service_name) + ":" +
                             std::to_string(report.current_state) + ":" +
                             std::to_string(report.win32_exit_code) + ":" +
                             std::to_string(report.service_specific_exit_code));
    return {};
}

void FakeServiceHost::explain_give_up(std::string_view reason) {
    std::lock_guard lock(mutex_);
    explanations_.emplace_back(reason);
}

std::vector<std::string> FakeServiceHost::early_reports() const {
    std::lock_guard lock(mutex_);
    return early_reports_;
}

std::vector<std::string> FakeServiceHost::explanations() const {
    std::lock_guard lock(mutex_);
    return explanations_;
}

std::vector<std::string> FakeServiceHost::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::string FakeServiceHost::dispatched_service() const {
    std::lock_guard lock(mutex_);
    return dispatched_;
}

}  // namespace velnaro::fake
