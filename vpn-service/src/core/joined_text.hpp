#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace velnaro {

// Text joined at compile time from named constants, so that a name made from another (the
// tunnel's service, file and interface names from the tunnel's) writes that other once.
template <const std::string_view&... Parts>
inline constexpr auto kJoinedText = [] {
    std::array<char, (Parts.size() + ... + 0)> text{};
    auto at = text.begin();
    ((at = std::copy(Parts.begin(), Parts.end(), at)), ...);
    return text;
}();

template <const std::string_view&... Parts>
inline constexpr std::string_view joined_text{kJoinedText<Parts...>.data(),
                                              kJoinedText<Parts...>.size()};

// The same text as UTF-16, terminated, for the calls that take it (ASCII names only).
template <const std::string_view& Text>
inline constexpr auto kWideText = [] {
    std::array<char16_t, Text.size() + 1> wide{};
    std::copy(Text.begin(), Text.end(), wide.begin());
    return wide;
}();

}  // namespace velnaro
