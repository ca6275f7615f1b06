#include "service_process.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace velnaro::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::string_view kSocketName = "VelnaroVpnService.v1.sock";

// Exit statuses of the child before exec, so a failed start says which step failed.
enum ChildFailure : int {
    kUnshareFailed = 120,
    kPrivateFailed,
    kRunMountFailed,
    kVarLibMountFailed,
    kBindFailed,
    kExecFailed,
};

std::string describe_child_failure(int status) {
    switch (status) {
        case kUnshareFailed:
            return "cannot create a mount namespace (needs root or CAP_SYS_ADMIN)";
        case kPrivateFailed:
            return "cannot make the mount namespace private";
        case kRunMountFailed:
        case kVarLibMountFailed:
            return "cannot mount a private /run or /var/lib";
        case kBindFailed:
            return "cannot bind the scratch directory onto /run/velnaro";
        case kExecFailed:
            return "cannot execute the service";
        default:
            return "the service ended at once with status " + std::to_string(status);
    }
}

// The caller's environment with the data directory set and no init-system socket to
// report to; built before the fork, since the child may only make async-signal-safe calls.
std::vector<std::string> service_environment(const std::string& data_dir) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (!text.starts_with("PROGRAMDATA=") && !text.starts_with("NOTIFY_SOCKET="))
            variables.emplace_back(text);
    }
    variables.push_back("PROGRAMDATA=" + data_dir);
    return variables;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Runs in the forked child only: async-signal-safe calls, then exec.
[[noreturn]] void become_service(const char* executable, const char* run_dir, char* const* argv,
                                 char* const* envp) {
    if (::unshare(CLONE_NEWNS) != 0)
        ::_exit(kUnshareFailed);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        ::_exit(kPrivateFailed);
    if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        ::_exit(kRunMountFailed);
    // The sealing key of root lives under /var/lib; the host's must never be touched.
    if (::mount("tmpfs", "/var/lib", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        ::_exit(kVarLibMountFailed);
    if (::mkdir("/run/velnaro", 0755) != 0 ||
        ::mount(run_dir, "/run/velnaro", nullptr, MS_BIND, nullptr) != 0) {
        ::_exit(kBindFailed);
    }
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO)
            ::close(null);
    }
    ::execve(executable, argv, envp);
    ::_exit(kExecFailed);
}

bool socket_answers_connect(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

std::optional<std::string> read_text(const std::string& path) {
    std::ifstream file(path);
    if (!file)
        return std::nullopt;
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

std::expected<ServiceProcess, std::string> ServiceProcess::start(const std::string& executable) {
    if (::geteuid() != 0)
        return std::unexpected("needs root to give the service a mount namespace of its own");
    if (::access(executable.c_str(), X_OK) != 0)
        return std::unexpected("no executable at " + executable);
    char pattern[] = "/tmp/velnaro-service-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        return std::unexpected("cannot create a scratch directory");
    const std::string scratch = pattern;
    const std::string run_dir = scratch + "/run";
    const std::string data_dir = scratch + "/data";
    std::error_code ignored;
    fs::create_directories(run_dir, ignored);
    fs::create_directories(data_dir, ignored);

    std::vector<std::string> arguments = {executable, "--service"};
    std::vector<std::string> environment = service_environment(data_dir);
    const std::vector<char*> argv = pointers_to(arguments);
    const std::vector<char*> envp = pointers_to(environment);
    const pid_t child = ::fork();
    if (child < 0) {
        fs::remove_all(scratch, ignored);
        return std::unexpected("fork failed");
    }
    if (child == 0)
        become_service(executable.c_str(), run_dir.c_str(), argv.data(), envp.data());

    ServiceProcess process(child, scratch, run_dir + "/" + std::string(kSocketName));
    // The first connect: the wake-up of a server that finds no request is harmless.
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (!process.running()) {
            const int status = process.exit_status_.value_or(-1);
            return std::unexpected(describe_child_failure(status));
        }
        if (fs::exists(process.socket_path_) && socket_answers_connect(process.socket_path_))
            return process;
        std::this_thread::sleep_for(10ms);
    }
    return std::unexpected("the service did not open its socket within 5 seconds");
}

ServiceProcess::ServiceProcess(pid_t pid, std::string scratch, std::string socket_path)
    : pid_(pid), scratch_(std::move(scratch)), socket_path_(std::move(socket_path)) {}

ServiceProcess::ServiceProcess(ServiceProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      scratch_(std::exchange(other.scratch_, {})),
      socket_path_(std::exchange(other.socket_path_, {})),
      exit_status_(std::exchange(other.exit_status_, std::nullopt)) {}

ServiceProcess::~ServiceProcess() {
    if (pid_ > 0 && running())
        stop();
    if (!scratch_.empty()) {
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }
}

bool ServiceProcess::running() {
    if (pid_ <= 0 || exit_status_)
        return false;
    int status = 0;
    const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
    if (ended == 0)
        return true;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

std::optional<int> ServiceProcess::stop(std::chrono::milliseconds limit) {
    if (!running())
        return std::nullopt;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            exit_status_ = -1;
            return std::nullopt;
        }
        std::this_thread::sleep_for(10ms);
    }
    return exit_status_;
}

std::optional<std::uint64_t> ServiceProcess::resident_kib() const {
    return resident_kib_of(pid_);
}

std::optional<std::size_t> ServiceProcess::open_descriptors() const {
    return open_descriptors_of(pid_);
}

std::optional<std::uint64_t> ServiceProcess::cpu_nanoseconds() const {
    return cpu_nanoseconds_of(pid_);
}

std::string built_executable(std::string_view name) {
    const char* build_dir = std::getenv("VELNARO_BUILD_DIR");
    if (build_dir != nullptr && build_dir[0] != '\0')
        return (fs::path(build_dir) / name).string();
    std::error_code ignored;
    return (fs::read_symlink("/proc/self/exe", ignored).parent_path() / name).string();
}

std::optional<std::uint64_t> resident_kib_of(pid_t pid) {
    const auto status = read_text("/proc/" + std::to_string(pid) + "/status");
    if (!status)
        return std::nullopt;
    std::istringstream lines(*status);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    return std::nullopt;
}

std::optional<std::size_t> open_descriptors_of(pid_t pid) {
    std::error_code error;
    fs::directory_iterator entries("/proc/" + std::to_string(pid) + "/fd", error);
    if (error)
        return std::nullopt;
    return static_cast<std::size_t>(std::distance(fs::begin(entries), fs::end(entries)));
}

std::optional<std::uint64_t> cpu_nanoseconds_of(pid_t pid) {
    std::error_code error;
    fs::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task", error);
    if (error)
        return std::nullopt;
    std::uint64_t total = 0;
    for (const auto& task : tasks) {
        // The first field of schedstat is the time spent on a CPU, in nanoseconds.
        if (const auto text = read_text(task.path().string() + "/schedstat"))
            total += std::strtoull(text->c_str(), nullptr, 10);
    }
    return total;
}

}  // namespace velnaro::testing
