#pragma once

#include <chrono>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "core/version.hpp"
#include "ipc_client/pipe_name.hpp"
#include "platform/platform.hpp"

namespace velnaro::vpnctl {

inline constexpr int kExitAnswered = 0;
inline constexpr int kExitErrorAnswer = 1;  // also: no answer, or --wait timed out
inline constexpr int kExitUsage = 2;
inline constexpr int kExitServerRefused = 3;
inline constexpr int kExitNotRunning = 4;
// --wait met a tunnel failure that only a new change clears, so the state will not come.
inline constexpr int kExitTunnelFailed = 5;

// vpnctl ships with the service and carries the same release number.
inline constexpr std::string_view kClientVersion = kServiceVersion;

// The content of a file (or of standard input for "-"), or why it could not be read.
using FileReader = std::expected<std::string, std::string> (*)(const std::string&);

// Where vpnctl writes; --watch writes as it goes.
struct Console {
    std::function<void(std::string_view)> out;
    std::function<void(std::string_view)> err;
};

struct Target {
    std::string_view pipe_name = kServicePipeName;
    // How long a busy service is waited for.
    std::chrono::milliseconds patience = std::chrono::seconds(5);
    // --watch asks again while this says so; the program itself watches until interrupted.
    std::function<bool()> keep_watching = [] { return true; };
};

// One call of vpnctl with the words that follow its name; returns the exit status. A
// request goes out only after the server has been shown to be the privileged service,
// since whoever holds the name while the service is down would otherwise read
// configurations and forge answers.
int run(platform::Platform& platform, std::span<const std::string> words, FileReader read_file,
        const Console& console, const Target& target = {});

// The same, with the output collected (for tests).
struct Outcome {
    int exit_status = kExitUsage;
    std::string standard_output;
    std::string standard_error;
};
Outcome run_collected(platform::Platform& platform, std::span<const std::string> words,
                      FileReader read_file, const Target& target = {});

}  // namespace velnaro::vpnctl
