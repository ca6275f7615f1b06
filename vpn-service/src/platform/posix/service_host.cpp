#include "platform/posix/service_host.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "platform/posix/owned_fd.hpp"

namespace velnaro::platform {

namespace {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

std::unexpected<OsError> host_failed(int code, const char* operation,
                                     std::string_view service_name) {
    return std::unexpected(
        OsError{static_cast<std::uint32_t>(code), operation, std::string(service_name)});
}

// Takes what a readable descriptor holds (queued signals, the wake-up count), so that the
// next wait sleeps until something new comes.
void drain(int fd) {
    std::array<std::uint8_t, sizeof(signalfd_siginfo) * 4> records;
    while (::read(fd, records.data(), records.size()) > 0) {
    }
}

void add_wake_up(int event_fd) {
    const std::uint64_t one = 1;
    if (event_fd >= 0)
        [[maybe_unused]] const auto written = ::write(event_fd, &one, sizeof(one));
}

}  // namespace

bool notify_init_system(std::string_view state) {
    const char* socket_name = std::getenv("NOTIFY_SOCKET");
    if (socket_name == nullptr || socket_name[0] == '\0')
        return false;
    const std::string_view name(socket_name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, name.data(), name.size());
    // A leading '@' names an abstract socket.
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    OwnedFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return false;
    return ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address),
                    length) == static_cast<ssize_t>(state.size());
}

OsResult<void> PosixServiceHost::run_dispatcher(std::string_view service_name, ServiceMain main) {
    {
        std::lock_guard lock(mutex_);
        service_name_ = std::string(service_name);
    }
    // Blocked before the service main starts, so every thread inherits the mask and the
    // signals reach only the wait below.
    const sigset_t signals = stop_signals();
    sigset_t previous;
    if (const int error = pthread_sigmask(SIG_BLOCK, &signals, &previous); error != 0)
        return host_failed(error, "pthread_sigmask", service_name);
    // One wait, without a time limit, for both: the stop signals (a signal that came before
    // the descriptor existed is pending and shows at once) and the wake-ups that say the
    // handler was registered or the service main returned.
    OwnedFd signal_fd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    OwnedFd wake_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!signal_fd || !wake_fd) {
        const int error = errno;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return host_failed(error, signal_fd ? "eventfd" : "signalfd", service_name);
    }
    {
        std::lock_guard lock(mutex_);
        wake_fd_ = wake_fd.get();
    }
    std::atomic<bool> main_returned = false;
    std::thread service_thread;
    try {
        service_thread = std::thread([&] {
            main({std::string(service_name)});
            main_returned = true;
            wake_dispatcher();
        });
    } catch (const std::system_error& failed) {
        forget_wake_fd();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return host_failed(failed.code().value(), "pthread_create", service_name);
    }
    // A stop that comes before the service main has registered its handler is kept and
    // delivered once the handler is there, so the service cannot run on after it.
    bool stop_pending = false;
    while (!main_returned) {
        std::array<pollfd, 2> watched{{{signal_fd.get(), POLLIN, 0}, {wake_fd.get(), POLLIN, 0}}};
        if (::poll(watched.data(), watched.size(), -1) > 0) {
            if (watched[0].revents != 0) {
                drain(signal_fd.get());
                stop_pending = true;
            }
            if (watched[1].revents != 0)
                drain(wake_fd.get());
        }
        if (stop_pending && deliver_control(service_control::kStop))
            stop_pending = false;
    }
    service_thread.join();
    forget_wake_fd();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return {};
}

void PosixServiceHost::wake_dispatcher() {
    std::lock_guard lock(mutex_);
    add_wake_up(wake_fd_);
}

void PosixServiceHost::forget_wake_fd() {
    std::lock_guard lock(mutex_);
    wake_fd_ = -1;
}

bool PosixServiceHost::deliver_control(std::uint32_t control) {
    ControlHandler handler = nullptr;
    void* context = nullptr;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
        context = context_;
    }
    if (handler == nullptr)
        return false;
    handler(control, 0, nullptr, context);
    return true;
}

OsResult<ServiceStatusHandle> PosixServiceHost::register_control_handler(
    std::string_view service_name, ControlHandler handler, void* context) {
    std::lock_guard lock(mutex_);
    if (service_name != service_name_ || handler == nullptr)
        return std::unexpected(
            OsError{EINVAL, "register_control_handler", std::string(service_name)});
    handler_ = handler;
    context_ = context;
    // A stop that came first is delivered now.
    add_wake_up(wake_fd_);
    return ServiceStatusHandle{1};
}

// The notification is a courtesy to systemd: a service started from a console has no
// socket to tell, and a lost line is no reason to stop serving.
OsResult<void> PosixServiceHost::set_service_status(ServiceStatusHandle handle,
                                                    const ServiceStatusReport& report) {
    if (handle.value != 1)
        return std::unexpected(OsError{EBADF, "set_service_status", ""});
    if (report.current_state == 4)
        notify_init_system("READY=1");
    if (report.current_state == 1)
        notify_init_system("STOPPING=1");
    return {};
}

void PosixServiceHost::name_current_thread(std::string_view name) {
    // The kernel keeps 15 characters and the terminating zero.
    const std::string text(name.substr(0, 15));
    pthread_setname_np(pthread_self(), text.c_str());
}

OsResult<void> PosixServiceHost::report_stopped_before_start(std::string_view service_name,
                                                             const ServiceStatusReport&) {
    // The service manager reads the exit status.
    return std::unexpected(
        OsError{ENOTSUP, "report_stopped_before_start", std::string(service_name)});
}

void PosixServiceHost::explain_give_up(std::string_view reason) {
    std::string line(reason);
    line.push_back('\n');
    // One write, so the line is not interleaved with other output.
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace velnaro::platform
