#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ipc/pipe_name.hpp"
#include "platform/platform.hpp"

namespace velnaro::vpnctl {

inline constexpr int kExitAnswered = 0;
inline constexpr int kExitErrorOrNoAnswer = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitServerRefused = 3;

inline constexpr std::string_view kUsage =
    "usage: vpnctl version|status|identity|apply FILE.json|start|stop|repair|"
    "rotate prepare|commit|abort|raw JSON\n";

struct Outcome {
    int exit_status = kExitUsage;
    std::string standard_output;
    std::string standard_error;
};

using FileReader = std::optional<std::string> (*)(const std::string&);

struct Target {
    std::string_view pipe_name = kServicePipeName;
    std::chrono::milliseconds patience = std::chrono::seconds(5);
};

// One call of vpnctl with the words that follow its name: the request goes out only after
// the server has been shown to be the privileged service, since whoever holds the name
// while the service is down would otherwise read configurations and forge answers.
Outcome run(platform::Platform& platform, std::span<const std::string> words, FileReader read_file,
            const Target& target = {});

}  // namespace velnaro::vpnctl
