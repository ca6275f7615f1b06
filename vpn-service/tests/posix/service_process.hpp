#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace velnaro::testing {

// The real `vpn-service --service`, run as root in a mount namespace of its own: /run and
// /var/lib are private there, /run/velnaro is a scratch directory of the caller's, and the
// data directory lives under the same scratch directory. The service therefore uses its
// fixed socket path, while nothing of the host's /run or /var/lib is touched and clients
// reach it through the scratch directory.
class ServiceProcess {
  public:
    // Why the service could not be started; a caller that is not root, or may not create a
    // mount namespace, learns it here and can skip.
    static std::expected<ServiceProcess, std::string> start(const std::string& executable);

    ServiceProcess(ServiceProcess&& other) noexcept;
    ServiceProcess& operator=(ServiceProcess&&) = delete;
    ~ServiceProcess();

    const std::string& socket_path() const { return socket_path_; }
    pid_t pid() const { return pid_; }

    // False once the process has ended, whatever ended it.
    bool running();
    // Resident memory (VmRSS) in KiB and open descriptors, read from /proc.
    std::optional<std::uint64_t> resident_kib() const;
    std::optional<std::size_t> open_descriptors() const;
    // CPU time of every thread of the service so far (schedstat, nanoseconds).
    std::optional<std::uint64_t> cpu_nanoseconds() const;

    // SIGTERM, then waits up to `limit`; the exit status, or nothing when it had to be killed
    // or had already ended some other way.
    std::optional<int> stop(std::chrono::milliseconds limit = std::chrono::seconds(10));

  private:
    ServiceProcess(pid_t pid, std::string scratch, std::string socket_path);

    pid_t pid_ = -1;
    std::string scratch_;
    std::string socket_path_;
    std::optional<int> exit_status_;
};

// `name` in the build tree: $VELNARO_BUILD_DIR, or else the directory of the running
// program (every executable of the build lands at the top of the tree).
std::string built_executable(std::string_view name);

// Resident memory (KiB), open descriptors and thread CPU time of any process.
std::optional<std::uint64_t> resident_kib_of(pid_t pid);
std::optional<std::size_t> open_descriptors_of(pid_t pid);
std::optional<std::uint64_t> cpu_nanoseconds_of(pid_t pid);

}  // namespace velnaro::testing
