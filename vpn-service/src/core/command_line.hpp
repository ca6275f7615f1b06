#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velnaro {

// Quotes one element of a service command line so that the platform's command-line
// splitter gives it back unchanged.
std::string quote_command_line_argument(std::string_view argument);

// The platform's argument splitting rules, applied to every element (the exact inverse of
// the quoting above): blanks and tabs separate arguments outside quotes; 2n backslashes
// before a quote give n backslashes and toggle quoting, 2n+1 give n backslashes and a
// literal quote; other backslashes are plain characters.
std::vector<std::string> split_command_line(std::string_view command_line);

}  // namespace velnaro
