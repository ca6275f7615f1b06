#include "platform/posix/detached_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/posix/local_services_db.hpp"

namespace velnaro::platform::local_services {
namespace {

// What the two children tell the starter through the pipe; each message is far below
// PIPE_BUF, so writes from the two never interleave.
struct Message {
    std::int32_t kind = 0;  // kStarted or kExecFailed
    std::int32_t pid = 0;
    std::uint64_t start_time = 0;
};
constexpr std::int32_t kStarted = 1;
constexpr std::int32_t kExecFailed = 2;

void write_message(int fd, const Message& message) {
    while (::write(fd, &message, sizeof message) < 0 && errno == EINTR) {
    }
}

void close_range_from(int first, int last) {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), 0) ==
        0) {
        return;
    }
#endif
    const long limit = ::sysconf(_SC_OPEN_MAX);
    const int top = (limit < 0 || limit > 65536) ? 65536 : static_cast<int>(limit);
    for (int fd = first; fd <= last && fd < top; ++fd)
        ::close(fd);
}

// Only async-signal-safe calls from here on: the caller may have other threads.
std::uint64_t read_start_time_after_fork(pid_t pid) {
    char path[32] = "/proc/";
    char digits[16];
    int count = 0;
    for (auto value = static_cast<unsigned>(pid); value != 0 || count == 0; value /= 10) {
        digits[count++] = static_cast<char>('0' + value % 10);
    }
    int at = 6;
    while (count > 0)
        path[at++] = digits[--count];
    for (const char* tail = "/stat"; *tail != '\0'; ++tail)
        path[at++] = *tail;
    path[at] = '\0';
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[1024];
    const ssize_t length = ::read(fd, text, sizeof text);
    ::close(fd);
    if (length <= 0)
        return 0;
    auto value = parse_start_time(text, static_cast<std::size_t>(length));
    return value ? *value : 0;
}

[[noreturn]] void become_service(int report_fd, char* const argv[], char* const envp[]) {
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &default_action, nullptr);

    // The pipe may itself sit on 0..2 when the caller had closed its standard streams.
    const int report = ::fcntl(report_fd, F_DUPFD_CLOEXEC, 3);
    const int null = ::open("/dev/null", O_RDWR);
    if (report < 0 || null < 0)
        ::_exit(127);
    for (int fd = 0; fd <= 2; ++fd)
        ::dup2(null, fd);
    close_range_from(3, report - 1);
    close_range_from(report + 1, INT_MAX);
    if (::chdir("/") != 0)
        ::_exit(127);
    ::umask(022);
    ::execve(argv[0], argv, envp);
    write_message(report, Message{kExecFailed, errno, 0});
    ::_exit(127);
}

std::vector<char*> pointers_to(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const auto& text : texts)
        pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

std::optional<StartedProcess> start_detached(const std::vector<std::string>& argv,
                                             const std::vector<std::string>& environment) {
    if (argv.empty() || argv[0].empty() || argv[0].front() != '/')
        return std::nullopt;
    std::vector<char*> args = pointers_to(argv);
    std::vector<char*> envp = pointers_to(environment);
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        return std::nullopt;
    ScopedFd read_end(pipe_fds[0]);

    const pid_t intermediate = ::fork();
    if (intermediate < 0) {
        ::close(pipe_fds[1]);
        return std::nullopt;
    }
    if (intermediate == 0) {
        ::setsid();
        const pid_t service = ::fork();
        if (service < 0)
            ::_exit(1);
        if (service == 0)
            become_service(pipe_fds[1], args.data(), envp.data());
        // Until this process ends the service cannot be reaped, so its stat is readable.
        write_message(pipe_fds[1], Message{kStarted, service, read_start_time_after_fork(service)});
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    int status = 0;
    while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
    }

    std::optional<StartedProcess> started;
    bool exec_failed = false;
    Message message;
    while (true) {
        const ssize_t n = ::read(read_end.get(), &message, sizeof message);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(sizeof message))
            break;  // end: exec done, pipe closed
        if (message.kind == kStarted && message.pid > 0 && message.start_time != 0) {
            started = StartedProcess{message.pid, message.start_time};
        } else {
            exec_failed = true;
        }
    }
    if (exec_failed)
        return std::nullopt;
    return started;
}

bool terminate_process(const StartedProcess& process) {
#ifdef SYS_pidfd_open
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, process.pid, 0));
    if (pidfd >= 0) {
        ScopedFd pinned(pidfd);
        auto start_time = process_start_time(process.pid);
        if (!start_time || *start_time != process.start_time)
            return false;
        return ::syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0) == 0;
    }
#endif
    auto start_time = process_start_time(process.pid);
    if (!start_time || *start_time != process.start_time)
        return false;
    return ::kill(process.pid, SIGTERM) == 0;
}

}  // namespace velnaro::platform::local_services
