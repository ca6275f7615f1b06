// The data directory judged from the root and held open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/posix/file_system.hpp"
#include "platform/posix/file_system_detail.hpp"
#include "platform/posix/path_text.hpp"

namespace velnaro::platform {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// `operation` and `os_error` name the call that failed; a level judged and refused has none.
std::unexpected<HoldFailure> refuse(DirectoryTrust found, const std::string& level,
                                    std::string_view operation = {}, int os_error = 0) {
    const std::string shown = level.empty() ? "/" : level;
    return std::unexpected(
        HoldFailure{found, shown,
                    OsError{static_cast<std::uint32_t>(os_error), std::string(operation), shown}});
}

// Whoever may write to a level can rename what lies beneath it and plant a link there.
DirectoryTrust judge_level(const struct stat& info, bool last) {
    if (!S_ISDIR(info.st_mode))
        return DirectoryTrust::not_a_directory;
    if (info.st_uid != 0 && info.st_uid != ::geteuid())
        return DirectoryTrust::untrusted;
    const bool writable_by_others = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool sticky = (info.st_mode & S_ISVTX) != 0;
    if (writable_by_others && (last || !sticky))
        return DirectoryTrust::untrusted;
    return DirectoryTrust::trusted;
}

// What sits under `name` when it could not be opened as a directory without following it.
DirectoryTrust classify_unopenable(int parent, const std::string& name) {
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? DirectoryTrust::missing : DirectoryTrust::unknown;
    if (S_ISLNK(info.st_mode))
        return DirectoryTrust::link;
    if (!S_ISDIR(info.st_mode))
        return DirectoryTrust::not_a_directory;
    return DirectoryTrust::unknown;
}

// Opens one level beneath `parent`, creating it when it is missing. A creation that loses
// a race to someone else's mkdir opens (and then judges) whatever that was.
std::expected<OwnedFd, HoldFailure> open_level(int parent, const std::string& name,
                                               const std::string& level) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        OwnedFd fd(::openat(parent, name.c_str(), kDirectoryFlags));
        if (fd)
            return fd;
        const int open_error = errno;
        const DirectoryTrust found = classify_unopenable(parent, name);
        if (found != DirectoryTrust::missing)
            return refuse(found, level, "open", open_error);
        if (::mkdirat(parent, name.c_str(), S_IRWXU) != 0 && errno != EEXIST)
            return refuse(DirectoryTrust::missing, level, "mkdir", errno);
    }
    return refuse(DirectoryTrust::unknown, level);
}

std::vector<std::string> components_of(std::string_view path) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view name = path.substr(start, end - start);
        if (!name.empty() && name != ".")
            names.emplace_back(name);
        start = end + 1;
    }
    return names;
}

}  // namespace

std::expected<TrustedDirectory, HoldFailure> open_trusted_directory(std::string_view path) {
    auto os_path = to_os_path(path);
    if (!os_path || os_path->front() != '/')
        return refuse(DirectoryTrust::unknown, std::string(path), "open", EINVAL);
    const std::vector<std::string> names = components_of(*os_path);
    OwnedFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string canonical;
    for (std::size_t index = 0;; ++index) {
        if (!current)
            return refuse(DirectoryTrust::unknown, canonical, "open", errno);
        struct stat info {};
        if (::fstat(current.get(), &info) != 0)
            return refuse(DirectoryTrust::unknown, canonical, "fstat", errno);
        const DirectoryTrust trust = judge_level(info, index == names.size());
        if (trust != DirectoryTrust::trusted)
            return refuse(trust, canonical);
        if (index == names.size())
            break;
        const std::string& name = names[index];
        canonical += "/" + name;
        // ".." would climb out of the level just judged, to one that never was.
        if (name == "..")
            return refuse(DirectoryTrust::link, canonical);
        auto next = open_level(current.get(), name, canonical);
        if (!next)
            return std::unexpected(next.error());
        current = std::move(*next);
    }
    return TrustedDirectory{std::move(current), canonical.empty() ? "/" : canonical};
}

std::expected<std::string, HoldFailure> PosixFileSystem::hold_directory(std::string_view path,
                                                                        std::size_t) {
    auto opened = open_trusted_directory(path);
    if (!opened)
        return std::unexpected(opened.error());
    std::lock_guard lock(held_mutex_);
    held_[opened->canonical] = std::move(opened->fd);
    return opened->canonical;
}

}  // namespace velnaro::platform
