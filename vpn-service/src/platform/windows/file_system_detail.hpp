#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace velnaro::platform {

inline bool is_wide_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Attributes of what the path names, links followed; nothing when it cannot be opened.
std::optional<BY_HANDLE_FILE_INFORMATION> followed_attributes(const std::wstring& path);

}  // namespace velnaro::platform
