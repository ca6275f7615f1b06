#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "platform/file_system.hpp"
#include "platform/posix/owned_fd.hpp"

namespace velnaro::platform {

// fsync of a directory, so that a name created or renamed in it survives a crash.
bool sync_directory(const std::string& directory);

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
