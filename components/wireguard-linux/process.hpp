#pragma once

#include <sys/types.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/owned_fd.hpp"

namespace velnaro::wglinux {

// The first of `candidates` that is an executable file. Fixed absolute paths rather than
// PATH: the tunnel runs as root and must not be steered by its environment.
std::optional<std::string> find_executable(std::initializer_list<const char*> candidates);

// Starts `argv` (argv[0] an absolute path) with `environment` only, standard input on
// /dev/null and output and errors shared with the caller, an empty signal mask and default
// handlers: the caller blocks SIGTERM and SIGINT to wait for them, and a child must not inherit
// that. No shell is involved.
std::optional<pid_t> spawn_process(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& environment);

// As spawn_process, for a child that must not outlive the calling thread: when that thread
// ends, however abruptly (the tunnel's process killed outright), the kernel sends the child
// SIGTERM, so a daemon never lingers holding what it set up.
std::optional<pid_t> spawn_bound_process(const std::vector<std::string>& argv,
                                         const std::vector<std::string>& environment);

// The exit status once the child has ended, or nothing when it is still running after
// `timeout` (it is left running) or cannot be waited for.
std::optional<int> wait_process(pid_t pid, std::chrono::milliseconds timeout);

// A descriptor that becomes readable when the child ends, so a wait can include its end;
// invalid where the kernel has none (before Linux 5.3).
platform::OwnedFd process_end_descriptor(pid_t pid);

// Whether the child is still running; reaps it when it has ended.
bool process_running(pid_t pid);

// SIGTERM, then SIGKILL when it has not ended within `grace`; always reaps.
void stop_process(pid_t pid, std::chrono::milliseconds grace);

// Runs a short command to its end (bounded) and tells whether it exited with 0.
bool run_command(const std::vector<std::string>& argv);

}  // namespace velnaro::wglinux
