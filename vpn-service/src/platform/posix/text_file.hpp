#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velnaro::platform {

// Plain text handling for the few system files read here (/etc/login.defs, /proc). It keeps the
// C++ streams out of the service: their first use sets up the C++ locale, which costs the
// process more than half a megabyte of memory.

// A text file read whole, opened with O_CLOEXEC and `extra_open_flags`; nothing when it cannot
// be opened or read.
std::optional<std::string> read_text_file(const std::string& path, int extra_open_flags = 0);

// The pieces of `text` between `separators`, empty pieces left out. They point into `text`,
// so a temporary string is refused: its pieces would outlive it.
std::vector<std::string_view> split_text(std::string_view text, std::string_view separators);
std::vector<std::string_view> split_text(std::string&& text, std::string_view) = delete;

// The words of `text`, separated by blanks and line ends (pointing into it, as above).
inline std::vector<std::string_view> words_of(std::string_view text) {
    return split_text(text, " \t\r\n\v\f");
}
std::vector<std::string_view> words_of(std::string&& text) = delete;

// The decimal number a word starts with, an optional '+' first (the digits up to the first
// other character, as a stream reads it); nothing without a digit or beyond the type's range.
std::optional<unsigned long long> leading_number(std::string_view word);

}  // namespace velnaro::platform
