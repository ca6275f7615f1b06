#pragma once

#include <string>
#include <string_view>

namespace velnaro::vpnctl {

// Every command with one line each, and the exit statuses.
std::string overview_help();
// One command's description; false from has_help for a word that is no command.
bool has_help(std::string_view command);
std::string command_help(std::string_view command);

}  // namespace velnaro::vpnctl
