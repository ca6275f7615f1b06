#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velnaro {

bool is_valid_utf8(std::string_view text);

// Text handed to a platform call: UTF-16, refused when the text is not valid UTF-8 or
// holds a zero character (the call would see a shorter text than was meant).
std::optional<std::u16string> to_platform_text(std::string_view utf8);

// UTF-16 from the platform to UTF-8; every unpaired surrogate becomes U+FFFD.
std::string from_platform_text(std::u16string_view utf16);

}  // namespace velnaro
