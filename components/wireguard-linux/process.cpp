#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>

#include "platform/posix/owned_fd.hpp"

namespace velnaro::wglinux {
namespace {

constexpr std::chrono::seconds kCommandTimeout{10};
constexpr std::chrono::milliseconds kPollInterval{5};

std::vector<char*> pointers(const std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (const std::string& text : texts) {
        result.push_back(const_cast<char*>(text.c_str()));
    }
    result.push_back(nullptr);
    return result;
}

class SpawnSetup {
  public:
    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions_);
        ::posix_spawnattr_init(&attributes_);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool prepare() {
        // Output and errors go where the tunnel's own go (the journal, under systemd), so an
        // administrator reads why a command failed.
        if (::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) != 0) {
            return false;
        }
        sigset_t empty;
        sigset_t defaults;
        sigemptyset(&empty);
        sigemptyset(&defaults);
        for (int signal : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD, SIGHUP}) {
            sigaddset(&defaults, signal);
        }
        return ::posix_spawnattr_setsigmask(&attributes_, &empty) == 0 &&
               ::posix_spawnattr_setsigdefault(&attributes_, &defaults) == 0 &&
               ::posix_spawnattr_setflags(&attributes_,
                                          POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    }

    posix_spawn_file_actions_t* actions() { return &actions_; }
    posix_spawnattr_t* attributes() { return &attributes_; }

  private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

}  // namespace

std::optional<std::string> find_executable(std::initializer_list<const char*> candidates) {
    for (const char* candidate : candidates) {
        if (::access(candidate, X_OK) == 0) {
            return std::string(candidate);
        }
    }
    return std::nullopt;
}

std::optional<pid_t> spawn_process(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& environment) {
    if (argv.empty()) {
        return std::nullopt;
    }
    SpawnSetup setup;
    if (!setup.prepare()) {
        return std::nullopt;
    }
    auto arguments = pointers(argv);
    auto variables = pointers(environment);
    pid_t pid = 0;
    if (::posix_spawn(&pid, arguments[0], setup.actions(), setup.attributes(), arguments.data(),
                      variables.data()) != 0) {
        return std::nullopt;
    }
    return pid;
}

std::optional<pid_t> spawn_bound_process(const std::vector<std::string>& argv,
                                         const std::vector<std::string>& environment) {
    if (argv.empty()) {
        return std::nullopt;
    }
    // Everything the child needs is prepared before the fork: between fork and exec it may
    // only make async-signal-safe calls.
    auto arguments = pointers(argv);
    auto variables = pointers(environment);
    const pid_t parent = ::getpid();
    const int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = null_in >= 0 ? ::fork() : -1;
    if (pid == 0) {
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int signal : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD, SIGHUP}) {
            ::sigaction(signal, &defaults, nullptr);
        }
        sigset_t empty;
        sigemptyset(&empty);
        ::sigprocmask(SIG_SETMASK, &empty, nullptr);
        // A parent that died before the request was made would never send the signal.
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent ||
            ::dup2(null_in, 0) < 0) {
            ::_exit(127);
        }
        ::execve(arguments[0], arguments.data(), variables.data());
        ::_exit(127);
    }
    if (null_in >= 0) {
        ::close(null_in);
    }
    if (pid < 0) {
        return std::nullopt;
    }
    return pid;
}

std::optional<int> wait_process(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // A process descriptor becomes readable when the child ends, so the wait ends with it;
    // without one (an old kernel) the child is asked for every few milliseconds.
    const platform::OwnedFd ended = process_end_descriptor(pid);
    while (true) {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (result < 0 && errno != EINTR) {
            return std::nullopt;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        if (ended) {
            pollfd entry{ended.get(), POLLIN, 0};
            ::poll(&entry, 1,
                   static_cast<int>(std::min(left, std::chrono::milliseconds(1000)).count()));
        } else {
            std::this_thread::sleep_for(std::min(left, kPollInterval));
        }
    }
}

platform::OwnedFd process_end_descriptor(pid_t pid) {
    return platform::OwnedFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

bool process_running(pid_t pid) {
    int status = 0;
    const pid_t result = ::waitpid(pid, &status, WNOHANG);
    return result == 0;
}

void stop_process(pid_t pid, std::chrono::milliseconds grace) {
    if (!process_running(pid)) {
        return;
    }
    ::kill(pid, SIGTERM);
    if (wait_process(pid, grace)) {
        return;
    }
    ::kill(pid, SIGKILL);
    wait_process(pid, std::chrono::seconds(5));
}

bool run_command(const std::vector<std::string>& argv) {
    const auto pid = spawn_process(argv, {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"});
    if (!pid) {
        return false;
    }
    const auto status = wait_process(*pid, kCommandTimeout);
    if (!status) {
        stop_process(*pid, std::chrono::seconds(1));
        return false;
    }
    return *status == 0;
}

}  // namespace velnaro::wglinux
