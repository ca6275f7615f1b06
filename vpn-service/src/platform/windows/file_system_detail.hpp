#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace velnaro::platform {

inline bool is_wide_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Length of the part of the path that names a volume and cannot be created: "C:\",
// "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\", "\\?\Volume{...}\".
std::size_t root_length(std::wstring_view path);

// Attributes of what the path names, links followed; nothing when it cannot be opened.
std::optional<BY_HANDLE_FILE_INFORMATION> followed_attributes(const std::wstring& path);

}  // namespace velnaro::platform
