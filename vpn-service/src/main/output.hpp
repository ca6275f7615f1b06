#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velnaro {

// Writes text and a line feed to standard output in one piece and flushes, so a reader
// never sees half a line and an exit right after loses nothing.
void print_line(std::string_view text);

// The French usage line on standard error.
void print_usage();

// The fixed pass-or-fail envelope of the self-tests that report only a detail code.
std::string detail_code_envelope(const std::optional<std::string_view>& code);

}  // namespace velnaro
