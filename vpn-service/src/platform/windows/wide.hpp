#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/utf.hpp"

namespace velnaro::platform {

// UTF-8 text as a zero-terminated wide string for a Win32 call; nothing for text with an
// embedded zero or invalid UTF-8, which is refused before the call.
inline std::optional<std::wstring> to_wide(std::string_view text) {
    auto utf16 = to_platform_text(text);
    if (!utf16) return std::nullopt;
    return std::wstring(utf16->begin(), utf16->end());
}

inline std::string from_wide(std::wstring_view text) {
    return from_platform_text(
        std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

}  // namespace velnaro::platform
