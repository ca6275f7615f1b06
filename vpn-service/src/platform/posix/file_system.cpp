#include "platform/posix/file_system.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "platform/paths.hpp"
#include "platform/posix/file_system_detail.hpp"
#include "platform/posix/owned_fd.hpp"
#include "platform/posix/path_text.hpp"

namespace velnaro::platform {
namespace {

// Handles carry the descriptor plus one, so that a default FileHandle{} (value 0) never
// names standard input.
FileHandle to_handle(int fd) {
    return FileHandle{static_cast<std::uintptr_t>(fd) + 1};
}

int to_fd(FileHandle file) {
    if (file.value == 0 ||
        file.value > static_cast<std::uintptr_t>(std::numeric_limits<int>::max())) {
        return -1;
    }
    return static_cast<int>(file.value - 1);
}

using Place = PosixFileSystem::Place;

// fsync of the directory that holds `place`, so that a rename there is durable.
OsResult<void> sync_containing_directory(const Place& place) {
    if (place.directory != AT_FDCWD) {
        if (::fsync(place.directory) != 0)
            return os_failure("fsync", place.name, errno);
        return {};
    }
    auto parent = parent_directory(place.name);
    return sync_directory(parent ? *parent : std::string("."));
}

// Moves without replacing; the link+unlink fallback serves file systems that lack
// RENAME_NOREPLACE, and undoes the link when the old name cannot be removed.
OsResult<void> rename_no_replace(const Place& from, const Place& to) {
    const char* from_name = from.name.c_str();
    const char* to_name = to.name.c_str();
    if (::renameat2(from.directory, from_name, to.directory, to_name, RENAME_NOREPLACE) == 0) {
        return {};
    }
    if (errno != EINVAL && errno != ENOSYS)
        return os_failure("renameat2", to.name, errno);
    if (::linkat(from.directory, from_name, to.directory, to_name, 0) != 0)
        return os_failure("linkat", to.name, errno);
    if (::unlinkat(from.directory, from_name, 0) != 0) {
        const int error = errno;
        ::unlinkat(to.directory, to_name, 0);
        return os_failure("unlinkat", from.name, error);
    }
    return {};
}

}  // namespace

OsResult<Place> PosixFileSystem::place_of(std::string_view path) {
    auto os_path = to_os_path(path);
    if (!os_path)
        return invalid_path("open", path);
    std::lock_guard lock(held_mutex_);
    auto held = held_.find(*os_path);
    std::string name = ".";
    if (held == held_.end()) {
        const auto parent = parent_directory(*os_path);
        name = std::string(file_name(*os_path));
        held = parent && !name.empty() && name != "." && name != ".." ? held_.find(*parent)
                                                                      : held_.end();
    }
    if (held == held_.end())
        return Place{OwnedFd(), AT_FDCWD, std::move(*os_path)};
    Place place{OwnedFd(::fcntl(held->second.get(), F_DUPFD_CLOEXEC, 0)), -1, std::move(name)};
    struct stat info {};
    if (place.held && ::fstat(place.held.get(), &info) == 0 && info.st_nlink > 0)
        place.directory = place.held.get();
    return place;
}

OsResult<PosixFileSystem::Opened> PosixFileSystem::open_unfollowed(std::string_view path) {
    auto place = place_of(path);
    if (!place)
        return std::unexpected(place.error());
    Opened opened{OwnedFd(::openat(place->directory, place->name.c_str(),
                                   O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW))};
    if (!opened.fd)
        return os_failure("open", path, errno);
    if (::fstat(opened.fd.get(), &opened.info) != 0)
        return os_failure("fstat", path, errno);
    return opened;
}

OsResult<void> sync_directory(const std::string& directory) {
    OwnedFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0)
        return os_failure("fsync", directory, errno);
    return {};
}

PathKind PosixFileSystem::path_kind(std::string_view path) {
    auto place = place_of(path);
    struct stat info {};
    if (!place || ::fstatat(place->directory, place->name.c_str(), &info, 0) != 0)
        return PathKind::missing;
    if (S_ISREG(info.st_mode))
        return PathKind::regular_file;
    if (S_ISDIR(info.st_mode))
        return PathKind::directory;
    return PathKind::other;
}

OsResult<DirectoryTrust> PosixFileSystem::directory_trust(std::string_view path) {
    auto os_path = to_os_path(path);
    if (!os_path)
        return invalid_path("lstat", path);
    struct stat info {};
    if (::lstat(os_path->c_str(), &info) != 0) {
        if (errno == ENOENT)
            return DirectoryTrust::missing;
        return os_failure("lstat", *os_path, errno);
    }
    if (S_ISLNK(info.st_mode))
        return DirectoryTrust::link;
    if (!S_ISDIR(info.st_mode))
        return DirectoryTrust::not_a_directory;
    // Whoever may write to the directory can rename a level away and plant a link in its
    // place, so write access for the group or others is as bad as a foreign owner.
    const bool trusted_owner = info.st_uid == ::geteuid() || info.st_uid == 0;
    if (!trusted_owner || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return DirectoryTrust::untrusted;
    return DirectoryTrust::trusted;
}

OsResult<std::string> PosixFileSystem::canonical_directory(std::string_view path) {
    auto os_path = to_os_path(path);
    if (!os_path)
        return invalid_path("realpath", path);
    char* resolved = ::realpath(os_path->c_str(), nullptr);
    if (resolved == nullptr)
        return os_failure("realpath", *os_path, errno);
    std::string result(resolved);
    std::free(resolved);
    struct stat info {};
    if (::stat(result.c_str(), &info) != 0)
        return os_failure("stat", result, errno);
    if (!S_ISDIR(info.st_mode))
        return os_failure("stat", result, ENOTDIR);
    return result;
}

OsResult<OwnedFile> PosixFileSystem::create_new_file(std::string_view path) {
    auto place = place_of(path);
    if (!place)
        return std::unexpected(place.error());
    const int fd =
        ::openat(place->directory, place->name.c_str(),
                 O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return os_failure("open", path, errno);
    return OwnedFile(to_handle(fd), FilePolicy{this});
}

OsResult<std::size_t> PosixFileSystem::write_file(FileHandle file,
                                                  std::span<const std::uint8_t> bytes) {
    const int fd = to_fd(file);
    if (fd < 0)
        return os_failure("write", "", EBADF);
    if (bytes.empty())
        return 0;
    for (;;) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written >= 0)
            return static_cast<std::size_t>(written);
        if (errno != EINTR)
            return os_failure("write", "", errno);
    }
}

OsResult<void> PosixFileSystem::flush_file(FileHandle file) {
    const int fd = to_fd(file);
    if (fd < 0)
        return os_failure("fsync", "", EBADF);
    if (::fsync(fd) != 0)
        return os_failure("fsync", "", errno);
    return {};
}

void PosixFileSystem::close_file(FileHandle file) {
    const int fd = to_fd(file);
    if (fd >= 0)
        ::close(fd);
}

OsResult<std::vector<std::uint8_t>> PosixFileSystem::read_file(std::string_view path,
                                                               std::size_t max_bytes) {
    // A link planted under a data file name must not make the service read (and answer
    // with) whatever the link points at.
    auto opened = open_unfollowed(path);
    if (!opened)
        return std::unexpected(opened.error());
    const OwnedFd& fd = opened->fd;
    const struct stat& info = opened->info;
    if (!S_ISREG(info.st_mode))
        return os_failure("open", path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);

    const std::size_t limit =
        max_bytes == std::numeric_limits<std::size_t>::max() ? max_bytes : max_bytes + 1;
    std::vector<std::uint8_t> content;
    const auto expected = static_cast<std::size_t>(info.st_size);
    content.reserve(expected < limit ? expected : limit);
    std::uint8_t chunk[16384];
    while (content.size() < limit) {
        const std::size_t want = std::min(sizeof chunk, limit - content.size());
        const ssize_t got = ::read(fd.get(), chunk, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return os_failure("read", path, errno);
        if (got == 0)
            break;
        content.insert(content.end(), chunk, chunk + got);
    }
    return content;
}

OsResult<void> PosixFileSystem::delete_file(std::string_view path) {
    auto place = place_of(path);
    if (!place)
        return std::unexpected(place.error());
    if (::unlinkat(place->directory, place->name.c_str(), 0) != 0)
        return os_failure("unlink", path, errno);
    return {};
}

OsResult<void> PosixFileSystem::move_file(std::string_view from, std::string_view to,
                                          MoveMode mode) {
    auto source = place_of(from);
    if (!source)
        return std::unexpected(source.error());
    auto target = place_of(to);
    if (!target)
        return std::unexpected(target.error());
    if (mode == MoveMode::no_replace_write_through) {
        if (auto moved = rename_no_replace(*source, *target); !moved)
            return moved;
    } else if (::renameat(source->directory, source->name.c_str(), target->directory,
                          target->name.c_str()) != 0) {
        return os_failure("rename", to, errno);
    }
    if (mode == MoveMode::replace)
        return {};
    return sync_containing_directory(*target);
}

OsResult<std::string> PosixFileSystem::temporary_directory() {
    const char* value = std::getenv("TMPDIR");
    std::string directory = value != nullptr ? value : "";
    if (!to_os_path(directory) || !is_absolute_path(directory))
        directory = "/tmp";
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    return directory;
}

}  // namespace velnaro::platform
