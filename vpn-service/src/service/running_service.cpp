#include "service/running_service.hpp"

#include <chrono>
#include <future>
#include <system_error>
#include <thread>

#include "core/version.hpp"
#include "dispatch/live_tunnel_controller.hpp"
#include "ipc/pipe_server.hpp"
#include "protected_storage/data_directory.hpp"
#include "tunnel_config/config_file.hpp"

namespace velnaro {

void StopChannel::send() {
    std::lock_guard lock(mutex_);
    ++messages_;
    changed_.notify_all();
}

void StopChannel::drop_sender() {
    std::lock_guard lock(mutex_);
    sender_alive_ = false;
    changed_.notify_all();
}

void StopChannel::receive() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return messages_ > 0 || !sender_alive_; });
    if (messages_ > 0)
        --messages_;
}

void ServerOutcome::record(Failure failure) {
    std::lock_guard lock(mutex_);
    if (!failure_)
        failure_ = std::move(failure);
}

std::optional<Failure> ServerOutcome::failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

std::unique_ptr<ControlContext> ServiceProcess::take_control() {
    std::lock_guard lock(mutex);
    return std::move(control);
}

platform::ServiceStatusReport stopped_report(const std::optional<Failure>& gave_up) {
    platform::ServiceStatusReport report = kStoppedReport;
    if (gave_up) {
        report.win32_exit_code = platform::kErrorServiceSpecificError;
        report.service_specific_exit_code = stable_number(gave_up->code);
    }
    return report;
}

namespace {

constexpr std::uint32_t kErrorExceptionInService = 1064;

// How often a stop under way wakes the pipe server again while its thread has not ended.
constexpr std::chrono::milliseconds kWakeRepeatInterval{100};

// The pipe server on its thread. Stopping it sets the flag, then wakes the server, whose
// idle wait has no time limit. A wake-up that finds no free instance (every one taken, or
// the server between two) is lost, so it is repeated until the thread has ended. Stopped by
// the destructor on every path, so no thread outlives the service main.
class PipeServerThread {
  public:
    PipeServerThread(ServiceProcess& process, std::shared_ptr<std::atomic<bool>> stop)
        : process_(process), stop_(std::move(stop)) {}
    PipeServerThread(const PipeServerThread&) = delete;
    PipeServerThread& operator=(const PipeServerThread&) = delete;
    ~PipeServerThread() { stop(); }

    void start(std::move_only_function<void()> body) {
        std::promise<void> ended;
        ended_ = ended.get_future();
        thread_ = process_.start_thread(
            [body = std::move(body), ended = std::move(ended)]() mutable {
                body();
                ended.set_value();
            });
    }
    void stop() {
        if (!thread_.joinable())
            return;
        stop_->store(true);
        do {
            wake_pipe_server(process_.runtime.platform, process_.pipe_name);
        } while (ended_.wait_for(kWakeRepeatInterval) != std::future_status::ready);
        thread_.join();
    }

  private:
    ServiceProcess& process_;
    std::shared_ptr<std::atomic<bool>> stop_;
    std::thread thread_;
    std::future<void> ended_;
};

// A service killed halfway through a write leaves its temporary file behind; nothing reads
// those, and no request runs yet to be writing one.
void clear_interrupted_writes(platform::Platform& platform, const std::string& data_directory) {
    const std::size_t removed = remove_leftover_temporary_files(platform, data_directory);
    if (removed == 0)
        return;
    platform.log.write(
        platform::LogPriority::notice, std::nullopt,
        "removed " + std::to_string(removed) + " temporary file(s) left by an interrupted write", 0,
        data_directory);
}

// The ranges of a configuration in force stay held across the service's restart, the tunnel's
// restarts and a reboot. Held again here because what lets them through the tunnel may have
// changed meanwhile (on Windows the tunnel's adapter comes back under a new identity, and only
// a guard that holds them watches for it). A failure leaves them as they were, closed rather
// than open, and the service serves on: the next APPLY_CONFIG, START or REPAIR holds again.
void hold_recorded_ranges(platform::Platform& platform) {
    if (auto restored = platform.ranges.restore(); !restored)
        platform::log_failure(platform.log,
                              Failure(DetailCode::TUNNEL_RANGES_HOLD_FAILED, restored.error()));
}

// The identity commands and APPLY_CONFIG reach the identity files through one keeper.
RequestContext service_context(Runtime& runtime, const std::string& data_directory) {
    auto identity = std::make_shared<IdentityKeeper>(data_directory);
    auto controller = std::make_unique<LiveTunnelController>(runtime, identity);
    return RequestContext{std::move(identity), std::move(controller)};
}

// The pipe server on its thread; a server that cannot hold the door records why and stops
// the service.
void serve_pipe(Runtime& runtime, RequestContext context, std::shared_ptr<std::atomic<bool>> stop,
                const std::string& name, ServerOutcome& outcome, StopChannel& channel) {
    runtime.platform.host.name_current_thread(kPipeServerThreadName);
    const Outcome<void> served = run_pipe_server(runtime, std::move(context), std::move(stop), name);
    if (!served) {
        outcome.record(served.error());
        channel.send();
    }
}

// Everything between the registration and the final report. Its locals (the request context,
// the channel, the server thread) are gone when it returns, so STOPPED can be the last thing
// the service does: the process may end right after it.
std::optional<Failure> run_registered_service(ServiceProcess& process,
                                                 platform::ServiceStatusHandle handle,
                                                 const std::shared_ptr<StopChannel>& channel,
                                                 const std::shared_ptr<std::atomic<bool>>& stop) {
    Runtime& runtime = process.runtime;
    auto data_directory = resolve_data_directory(runtime.platform);
    if (!data_directory)
        return data_directory.error();
    clear_interrupted_writes(runtime.platform, *data_directory);
    hold_recorded_ranges(runtime.platform);
    auto outcome = std::make_shared<ServerOutcome>();
    PipeServerThread server(process, stop);
    try {
        server.start([&runtime, stop, channel, outcome, name = process.pipe_name,
                      context = service_context(runtime, *data_directory)]() mutable {
            try {
                serve_pipe(runtime, std::move(context), stop, name, *outcome, *channel);
            } catch (...) {
                outcome->record(Failure(DetailCode::SERVICE_INTERNAL_ERROR));
                channel->send();
            }
        });
    } catch (const std::system_error&) {
        return Failure(DetailCode::SERVICE_THREAD_START_FAILED);
    }
    if (auto reported = runtime.platform.host.set_service_status(handle, kRunningReport); !reported)
        return Failure(DetailCode::SERVICE_STATUS_REPORT_FAILED, reported.error());
    channel->receive();
    // A courtesy to whoever waits for the stop: a report that fails changes nothing.
    (void)runtime.platform.host.set_service_status(handle, kStopPendingReport);
    server.stop();
    if (auto failure = outcome->failure())
        return failure;
    return process.gave_up.failure();
}

}  // namespace

void service_main(ServiceProcess& process, const std::vector<std::string>&) {
    platform::ServiceHost& host = process.runtime.platform.host;
    std::optional<platform::ServiceStatusHandle> handle;
    try {
        auto channel = std::make_shared<StopChannel>();
        auto stop = std::make_shared<std::atomic<bool>>(false);
        {
            std::lock_guard lock(process.mutex);
            process.control.reset(new ControlContext{channel, stop});
        }
        // Registered first: only a registered service can report, and a service that reports
        // nothing stays START_PENDING for good.
        auto registered = host.register_control_handler(kServiceName, control_handler, &process);
        if (!registered) {
            process.take_control();
            process.gave_up.record(
                Failure(DetailCode::SERVICE_CONTROL_HANDLER_FAILED, registered.error()));
            return;
        }
        handle = *registered;
        if (auto failure = run_registered_service(process, *handle, channel, stop))
            process.gave_up.record(std::move(*failure));
    } catch (...) {
        process.gave_up.record(Failure(DetailCode::SERVICE_INTERNAL_ERROR));
    }
    // The callback objects go before the final report; a control arriving now finds nothing.
    process.take_control();
    if (handle)
        host.set_service_status(*handle, stopped_report(process.gave_up.failure()));
}

std::uint32_t control_handler(std::uint32_t control, std::uint32_t, void*, void* context) {
    auto& process = *static_cast<ServiceProcess*>(context);
    try {
        switch (control) {
            case platform::service_control::kStop:
            case platform::service_control::kShutdown: {
                // A repeated stop while the first is under way is acknowledged and does nothing.
                auto released = process.take_control();
                if (!released)
                    return 0;
                released->stop->store(true);
                wake_pipe_server(process.runtime.platform, process.pipe_name);
                released->channel->send();
                return 0;
            }
            case platform::service_control::kInterrogate:
                return 0;
            case platform::service_control::kPreshutdown:
                process.take_control();
                return platform::kErrorCallNotImplemented;
            default:
                return platform::kErrorCallNotImplemented;
        }
    } catch (...) {
        // Dropping the context ends the service main's wait; it then stops with this reason.
        process.gave_up.record(Failure(DetailCode::SERVICE_INTERNAL_ERROR));
        try {
            process.take_control();
        } catch (...) {
        }
        return kErrorExceptionInService;
    }
}

ServiceRunResult run_service(ServiceProcess& process) {
    platform::Platform& platform = process.runtime.platform;
    const auto ran = platform.host.run_dispatcher(
        kServiceName,
        [&process](std::vector<std::string> arguments) { service_main(process, arguments); });
    if (!ran) {
        const platform::OsError& error = ran.error();
        platform::write_failure(platform.log, platform::LogPriority::error, std::nullopt,
                                error.operation + " failed", error);
        return {error.code, std::nullopt};
    }
    return {0, process.gave_up.failure()};
}

ServiceRunResult run_service(Runtime& runtime) {
    ServiceProcess process{runtime};
    return run_service(process);
}

namespace {

// What an operator most likely wants to know beyond the code, for the common give-ups.
std::string_view give_up_hint(DetailCode reason) {
    switch (reason) {
        case DetailCode::IPC_PIPE_IN_USE:
            return "another process holds the service's pipe; is the service already running?";
        case DetailCode::PROGRAMDATA_UNAVAILABLE:
            return "PROGRAMDATA must be unset or an absolute path";
        case DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED:
        case DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE:
            return "the data directory is missing, a link, or not the administrators' own";
        case DetailCode::TUNNEL_CONFIG_STORED_INVALID:
            return "the stored configuration breaks the configuration rules; apply a new one";
        default:
            return {};
    }
}

}  // namespace

void report_give_up(platform::Platform& platform, std::string_view service_name,
                    const Failure& reason, bool status_reported) {
    platform::log_failure(platform.log, reason);
    if (!status_reported)
        platform.host.report_stopped_before_start(service_name, stopped_report(reason));
    std::string line(service_name);
    line += " gave up: ";
    line += to_text(reason);
    line += " (exit status " + std::to_string(stable_number(reason.code)) + ")";
    if (const auto hint = give_up_hint(reason.code); !hint.empty()) {
        line += ": ";
        line += hint;
    }
    platform.host.explain_give_up(line);
}

}  // namespace velnaro
