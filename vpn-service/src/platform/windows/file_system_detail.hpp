#pragma once

#include <windows.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_system.hpp"
#include "platform/windows/well_known_accounts.hpp"

namespace velnaro::platform {

// The failure of `operation` on `subject` with a Win32 error code (GetLastError, read before
// anything else can change it).
inline std::unexpected<OsError> os_failure(std::string_view operation, std::string_view subject,
                                           DWORD code) {
    return std::unexpected(OsError{code, std::string(operation), std::string(subject)});
}

// A path that cannot be handed to the system (embedded zero, invalid text).
inline std::unexpected<OsError> invalid_path(std::string_view operation, std::string_view path) {
    return os_failure(operation, path, ERROR_INVALID_NAME);
}

inline bool is_wide_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// What an existing level of the data directory is worth, judged from its descriptor: trusted
// when its owner is the local system account, the administrators, TrustedInstaller or the
// account this process runs as (for the service: the local system account), and no one else
// is allowed to change its content or its rights; untrusted otherwise.
DirectoryTrust judge_directory_descriptor(PSECURITY_DESCRIPTOR descriptor);

// Length of the part of the path that names a volume and cannot be created: "C:\",
// "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\", "\\?\Volume{...}\".
std::size_t root_length(std::wstring_view path);

// The absolute final path of an open file or directory.
std::optional<std::string> final_path_of(HANDLE handle);

// Attributes of what the path names, links followed; nothing when it cannot be opened.
std::optional<BY_HANDLE_FILE_INFORMATION> followed_attributes(const std::wstring& path);

}  // namespace velnaro::platform
