#pragma once

#include <cerrno>
#include <expected>
#include <string>
#include <string_view>

#include "platform/file_system.hpp"
#include "platform/posix/owned_fd.hpp"

namespace velnaro::platform {

// The failure of `operation` on `subject` as errno tells it; read errno before anything
// else can change it.
inline std::unexpected<OsError> os_failure(std::string_view operation, std::string_view subject,
                                           int code) {
    return std::unexpected(
        OsError{static_cast<std::uint32_t>(code), std::string(operation), std::string(subject)});
}

// A path the C library cannot take (see to_os_path).
inline std::unexpected<OsError> invalid_path(std::string_view operation, std::string_view path) {
    return os_failure(operation, path, EINVAL);
}

// fsync of a directory, so that a name created or renamed in it survives a crash.
OsResult<void> sync_directory(const std::string& directory);

// A directory judged from the root down and opened level by level, each level relative to
// the one above and never through a link.
struct TrustedDirectory {
    OwnedFd fd;
    std::string canonical;
};

// Walks `path` from "/" and creates missing levels private to this account (0700). Every
// level must be a directory owned by root or this account, not writable by its group or
// others; a writable level with the sticky bit (/tmp) passes when it is not the last, since
// nobody else can rename or remove the level beneath it. "." is skipped; ".." is refused.
std::expected<TrustedDirectory, HoldFailure> open_trusted_directory(std::string_view path);

}  // namespace velnaro::platform
