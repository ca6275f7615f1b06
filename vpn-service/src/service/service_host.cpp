#include "service/service_host.hpp"

#include <thread>

#include "core/version.hpp"
#include "dispatch/live_tunnel_controller.hpp"
#include "ipc/pipe_server.hpp"
#include "protected_storage/data_directory.hpp"

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

void ServerOutcome::record(DetailCode code) {
    std::lock_guard lock(mutex_);
    if (!failure_)
        failure_ = code;
}

std::optional<DetailCode> ServerOutcome::failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

std::unique_ptr<ControlContext> ServiceProcess::take_control() {
    std::lock_guard lock(mutex);
    return std::move(control);
}

namespace {

// Sets the flag, then wakes the server; its wait also looks at the flag on its own, so the
// join cannot hang when the wake-up finds no free instance.
void stop_pipe_server(ServiceProcess& process, std::atomic<bool>& stop, std::thread& server) {
    stop.store(true);
    wake_pipe_server(process.runtime.platform, process.pipe_name);
    server.join();
}

}  // namespace

void service_main(ServiceProcess& process, const std::vector<std::string>&) {
    Runtime& runtime = process.runtime;
    platform::Platform& platform = runtime.platform;
    auto data_directory = resolve_data_directory(platform);
    if (!data_directory)
        return;
    RequestContext context{*data_directory,
                           std::make_unique<LiveTunnelController>(runtime, *data_directory)};
    auto channel = std::make_shared<StopChannel>();
    auto stop = std::make_shared<std::atomic<bool>>(false);
    std::thread server;
    try {
        server = std::thread(
            [&runtime, stop, name = process.pipe_name, context = std::move(context)]() mutable {
                runtime.platform.host.name_current_thread(kPipeServerThreadName);
                run_pipe_server(runtime, std::move(context), stop, name);
            });
    } catch (...) {
        return;
    }
    {
        std::lock_guard lock(process.mutex);
        process.control.reset(new ControlContext{channel, stop});
    }
    // A server that nobody could stop any more is not left running: it is stopped here,
    // where the service gives up without a report.
    const auto handle =
        platform.host.register_control_handler(kServiceName, control_handler, &process);
    if (!handle) {
        process.take_control();
        stop_pipe_server(process, *stop, server);
        return;
    }
    if (!platform.host.set_service_status(*handle, kRunningReport)) {
        process.take_control();
        stop_pipe_server(process, *stop, server);
        return;
    }
    channel->receive();
    stop_pipe_server(process, *stop, server);
    platform.host.set_service_status(*handle, kStoppedReport);
}

std::uint32_t control_handler(std::uint32_t control, std::uint32_t, void*, void* context) {
    auto& process = *static_cast<ServiceProcess*>(context);
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
}

std::uint32_t run_service(ServiceProcess& process) {
    return process.runtime.platform.host.run_dispatcher(
        kServiceName,
        [&process](std::vector<std::string> arguments) { service_main(process, arguments); });
}

std::uint32_t run_service(Runtime& runtime) {
    ServiceProcess process{runtime};
    return run_service(process);
}

}  // namespace velnaro
