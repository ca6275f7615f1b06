#include "platform/posix/socket_folder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/posix/text_file.hpp"

namespace velnaro::platform {

namespace {

constexpr mode_t kSocketFolderMode = 0755;
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::vector<std::string> levels_of(const std::string& path) {
    std::vector<std::string> levels;
    for (const std::string_view part : split_text(path, "/")) {
        if (part != ".")
            levels.emplace_back(part);
    }
    return levels;
}

bool trusted_owner(const struct stat& info) {
    return info.st_uid == 0 || info.st_uid == ::geteuid();
}

bool others_may_write(const struct stat& info) {
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

}  // namespace

std::expected<OwnedFd, int> open_socket_folder(const std::string& path) {
    const auto levels = levels_of(path);
    if (path.empty() || path.front() != '/' || levels.empty())
        return std::unexpected(EINVAL);
    OwnedFd current(::open("/", kDirectoryFlags));
    if (!current)
        return std::unexpected(errno);
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const bool last = i + 1 == levels.size();
        if (levels[i] == "..")
            return std::unexpected(EPERM);
        struct stat above {};
        if (::fstat(current.get(), &above) != 0)
            return std::unexpected(errno);
        // A sticky level open to all is safe only because the next one is checked in turn:
        // nobody else can rename or remove a level that is not theirs.
        if (!trusted_owner(above) || (others_may_write(above) && !(above.st_mode & S_ISVTX)))
            return std::unexpected(EPERM);
        if (last && ::mkdirat(current.get(), levels[i].c_str(), kSocketFolderMode) != 0 &&
            errno != EEXIST) {
            return std::unexpected(errno);
        }
        OwnedFd next(::openat(current.get(), levels[i].c_str(), kDirectoryFlags));
        if (!next)
            return std::unexpected(errno == ELOOP ? EPERM : errno);
        current = std::move(next);
    }
    struct stat folder {};
    if (::fstat(current.get(), &folder) != 0)
        return std::unexpected(errno);
    // The folder itself must be this account's: root's for the service.
    if (folder.st_uid != ::geteuid() || others_may_write(folder))
        return std::unexpected(EPERM);
    if ((folder.st_mode & 07777) != kSocketFolderMode &&
        ::fchmod(current.get(), kSocketFolderMode) != 0) {
        return std::unexpected(errno);
    }
    return current;
}

}  // namespace velnaro::platform
