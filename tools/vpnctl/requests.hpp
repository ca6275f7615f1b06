#pragma once

#include <optional>
#include <span>
#include <string>

namespace velnaro::vpnctl {

// The request body for the words after "vpnctl", or nothing when they are not a command.
// `read_file` gives the content of the configuration file for "apply".
std::optional<std::string> request_for(std::span<const std::string> words,
                                       std::optional<std::string> (*read_file)(const std::string&));

}  // namespace velnaro::vpnctl
