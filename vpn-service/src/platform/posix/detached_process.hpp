#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velnaro::platform::local_services {

struct StartedProcess {
    pid_t pid = 0;
    std::uint64_t start_time = 0;
};

// Starts argv[0] (an absolute path, no search) detached from the caller: a new session,
// standard streams on /dev/null, no other descriptors, default signal handling, working
// directory "/". Returns once exec has succeeded or failed; nothing when it failed.
std::optional<StartedProcess> start_detached(const std::vector<std::string>& argv,
                                             const std::vector<std::string>& environment);

// Sends SIGTERM to the process only while it is still the one that was started (the pid
// is pinned with a pidfd first, so a reused pid is never signalled).
bool terminate_process(const StartedProcess& process);

}  // namespace velnaro::platform::local_services
