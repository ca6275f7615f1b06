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
bool sync_containing_directory(const Place& place) {
    if (place.directory != AT_FDCWD)
        return ::fsync(place.directory) == 0;
    auto parent = parent_directory(place.name);
    return sync_directory(parent ? *parent : std::string("."));
}

// Moves without replacing; the link+unlink fallback serves file systems that lack
// RENAME_NOREPLACE, and undoes the link when the old name cannot be removed.
bool rename_no_replace(const Place& from, const Place& to) {
    const char* from_name = from.name.c_str();
    const char* to_name = to.name.c_str();
    if (::renameat2(from.directory, from_name, to.directory, to_name, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::linkat(from.directory, from_name, to.directory, to_name, 0) != 0)
        return false;
    if (::unlinkat(from.directory, from_name, 0) != 0) {
        ::unlinkat(to.directory, to_name, 0);
        return false;
    }
    return true;
}

}  // namespace

std::optional<Place> PosixFileSystem::place_of(std::string_view path) {
    auto os_path = to_os_path(path);
    if (!os_path)
        return std::nullopt;
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

bool sync_directory(const std::string& directory) {
    OwnedFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && ::fsync(fd.get()) == 0;
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

DirectoryTrust PosixFileSystem::directory_trust(std::string_view path) {
    auto os_path = to_os_path(path);
    if (!os_path)
        return DirectoryTrust::unknown;
    struct stat info {};
    if (::lstat(os_path->c_str(), &info) != 0)
        return errno == ENOENT ? DirectoryTrust::missing : DirectoryTrust::unknown;
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

std::optional<std::string> PosixFileSystem::canonical_directory(std::string_view path) {
    auto os_path = to_os_path(path);
    if (!os_path)
        return std::nullopt;
    char* resolved = ::realpath(os_path->c_str(), nullptr);
    if (resolved == nullptr)
        return std::nullopt;
    std::string result(resolved);
    std::free(resolved);
    struct stat info {};
    if (::stat(result.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    return result;
}

std::optional<FileHandle> PosixFileSystem::create_new_file(std::string_view path) {
    auto place = place_of(path);
    if (!place)
        return std::nullopt;
    const int fd =
        ::openat(place->directory, place->name.c_str(),
                 O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return std::nullopt;
    return to_handle(fd);
}

std::optional<std::size_t> PosixFileSystem::write_file(FileHandle file,
                                                       std::span<const std::uint8_t> bytes) {
    const int fd = to_fd(file);
    if (fd < 0)
        return std::nullopt;
    if (bytes.empty())
        return 0;
    for (;;) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written >= 0)
            return static_cast<std::size_t>(written);
        if (errno != EINTR)
            return std::nullopt;
    }
}

bool PosixFileSystem::flush_file(FileHandle file) {
    const int fd = to_fd(file);
    return fd >= 0 && ::fsync(fd) == 0;
}

void PosixFileSystem::close_file(FileHandle file) {
    const int fd = to_fd(file);
    if (fd >= 0)
        ::close(fd);
}

std::optional<std::vector<std::uint8_t>> PosixFileSystem::read_file(std::string_view path,
                                                                    std::size_t max_bytes) {
    auto place = place_of(path);
    if (!place)
        return std::nullopt;
    // O_NONBLOCK keeps a FIFO planted under a data file name from hanging the caller; it does
    // nothing to a regular file. O_NOFOLLOW: a link planted under a data file name must not
    // make the service read (and answer with) whatever the link points at.
    OwnedFd fd(::openat(place->directory, place->name.c_str(),
                        O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;

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
            return std::nullopt;
        if (got == 0)
            break;
        content.insert(content.end(), chunk, chunk + got);
    }
    return content;
}

bool PosixFileSystem::delete_file(std::string_view path) {
    auto place = place_of(path);
    return place && ::unlinkat(place->directory, place->name.c_str(), 0) == 0;
}

bool PosixFileSystem::move_file(std::string_view from, std::string_view to, MoveMode mode) {
    auto source = place_of(from);
    auto target = place_of(to);
    if (!source || !target)
        return false;
    const auto rename = [&] {
        return ::renameat(source->directory, source->name.c_str(), target->directory,
                          target->name.c_str()) == 0;
    };
    switch (mode) {
        case MoveMode::replace:
            return rename();
        case MoveMode::replace_write_through:
            return rename() && sync_containing_directory(*target);
        case MoveMode::no_replace_write_through:
            return rename_no_replace(*source, *target) && sync_containing_directory(*target);
    }
    return false;
}

std::optional<std::string> PosixFileSystem::temporary_directory() {
    const char* value = std::getenv("TMPDIR");
    std::string directory = value != nullptr ? value : "";
    if (!to_os_path(directory) || !is_absolute_path(directory))
        directory = "/tmp";
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    return directory;
}

}  // namespace velnaro::platform
