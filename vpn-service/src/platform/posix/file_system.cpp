#include "platform/posix/file_system.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "core/paths.hpp"
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

// The directory that holds `path`, for the fsync that makes a rename durable.
std::string containing_directory(std::string_view path) {
    auto parent = parent_directory(path);
    return parent ? *parent : std::string(".");
}

// Moves without replacing; the link()+unlink() fallback serves file systems that lack
// RENAME_NOREPLACE, and undoes the link when the old name cannot be removed.
bool rename_no_replace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    if (::unlink(from.c_str()) != 0) {
        ::unlink(to.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool sync_directory(const std::string& directory) {
    OwnedFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && ::fsync(fd.get()) == 0;
}

PathKind PosixFileSystem::path_kind(std::string_view path) {
    auto os_path = to_os_path(path);
    struct stat info {};
    if (!os_path || ::stat(os_path->c_str(), &info) != 0)
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
    auto os_path = to_os_path(path);
    if (!os_path)
        return std::nullopt;
    const int fd = ::open(os_path->c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW,
                          S_IRUSR | S_IWUSR);
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
    auto os_path = to_os_path(path);
    if (!os_path)
        return std::nullopt;
    // O_NONBLOCK keeps a FIFO planted under a data file name from hanging the caller; it does
    // nothing to a regular file. O_NOFOLLOW: a link planted under a data file name must not
    // make the service read (and answer with) whatever the link points at.
    OwnedFd fd(::open(os_path->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
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
    auto os_path = to_os_path(path);
    return os_path && ::unlink(os_path->c_str()) == 0;
}

bool PosixFileSystem::move_file(std::string_view from, std::string_view to, MoveMode mode) {
    auto os_from = to_os_path(from);
    auto os_to = to_os_path(to);
    if (!os_from || !os_to)
        return false;
    switch (mode) {
        case MoveMode::replace:
            return ::rename(os_from->c_str(), os_to->c_str()) == 0;
        case MoveMode::replace_write_through:
            return ::rename(os_from->c_str(), os_to->c_str()) == 0 &&
                   sync_directory(containing_directory(*os_to));
        case MoveMode::no_replace_write_through:
            return rename_no_replace(*os_from, *os_to) &&
                   sync_directory(containing_directory(*os_to));
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
