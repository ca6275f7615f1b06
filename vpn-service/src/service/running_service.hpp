#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/detail_code.hpp"
#include "ipc_client/pipe_name.hpp"
#include "platform/service_control.hpp"
#include "platform/service_host.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// The reports the service makes. A service that gives up reports STOPPED with
// ERROR_SERVICE_SPECIFIC_ERROR and the stable number of the reason, so the service manager
// shows why and its recovery restarts the service. While running it accepts a stop and the
// system's shutdown.
inline constexpr std::uint32_t kAcceptStopAndShutdown = 0x1 | 0x4;
inline constexpr platform::ServiceStatusReport kRunningReport{
    .service_type = platform::kServiceWin32OwnProcess,
    .current_state = platform::service_state::kRunning,
    .controls_accepted = kAcceptStopAndShutdown};
// As soon as a stop is asked for, so that the manager and `sc stop` see it under way: the
// change that is running still ends and is answered (a tunnel stop takes up to 15 s), then
// its client has up to 5 s to take the answer.
inline constexpr platform::ServiceStatusReport kStopPendingReport{
    .service_type = platform::kServiceWin32OwnProcess,
    .current_state = platform::service_state::kStopPending,
    .check_point = 1,
    .wait_hint_ms = 30000};
inline constexpr platform::ServiceStatusReport kStoppedReport{
    .service_type = platform::kServiceWin32OwnProcess,
    .current_state = platform::service_state::kStopped};
platform::ServiceStatusReport stopped_report(const std::optional<Failure>& gave_up);
inline constexpr std::string_view kPipeServerThreadName = "velnaro-vpn-ipc";

// Empty messages from the control handler to the service main. The wait also ends when the
// sending end is dropped.
class StopChannel {
  public:
    void send();
    void drop_sender();
    void receive();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int messages_ = 0;
    bool sender_alive_ = true;
};

// Why a thread of the service gave up, for the service main to report: the pipe server thread
// records the reason it cannot hold the door (IPC_PIPE_IN_USE, IPC_PIPE_CREATE_FAILED) and
// then sends on the stop channel. The first reason recorded is kept.
class ServerOutcome {
  public:
    void record(Failure failure);
    std::optional<Failure> failure() const;

  private:
    mutable std::mutex mutex_;
    std::optional<Failure> failure_;
};

// What the control handler needs: the sending end of the stop channel and the stop flag.
struct ControlContext {
    std::shared_ptr<StopChannel> channel;
    std::shared_ptr<std::atomic<bool>> stop;
    ~ControlContext() { channel->drop_sender(); }
};

// Lives as long as the dispatcher runs, so the manager always hands the control handler a
// valid address. The context inside is given up once, by the first control that releases it;
// a control that comes later finds nothing and touches nothing.
struct ServiceProcess {
    using ThreadStarter = std::function<std::thread(std::move_only_function<void()>)>;

    explicit ServiceProcess(Runtime& runtime_in, std::string_view pipe = kServicePipeName)
        : runtime(runtime_in), pipe_name(pipe) {}

    Runtime& runtime;
    std::string pipe_name;
    // Starts the pipe server thread; a test replaces it to make the start fail.
    ThreadStarter start_thread = [](std::move_only_function<void()> body) {
        return std::thread(std::move(body));
    };
    std::mutex mutex;
    std::unique_ptr<ControlContext> control;
    // Why the service main gave up, when it did; also set by a control handler that failed.
    ServerOutcome gave_up;

    std::unique_ptr<ControlContext> take_control();
};

// How "--service" ended: the platform's error when the process could not connect to the
// service manager (1063 from a console on Windows), else the reason the service gave up, if
// it did.
struct ServiceRunResult {
    std::uint32_t dispatcher_error = 0;
    std::optional<Failure> gave_up;
};
ServiceRunResult run_service(Runtime& runtime);
ServiceRunResult run_service(ServiceProcess& process);

// A process started as `service_name` that gives up before it reported anything (the tunnel
// service when its configuration or its library is refused): the service manager gets STOPPED
// with the reason's number where it expects a report, and the operator a line on Linux. The
// one place a give-up is logged, with the system's error when a call is what failed.
void report_give_up(platform::Platform& platform, std::string_view service_name,
                    const Failure& reason, bool status_reported);

void service_main(ServiceProcess& process, const std::vector<std::string>& arguments);

std::uint32_t control_handler(std::uint32_t control, std::uint32_t event_type, void* event_data,
                              void* context);

}  // namespace velnaro
