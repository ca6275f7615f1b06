// Directories: creation, listing, removal, and the access restriction.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/owned.hpp"
#include "platform/paths.hpp"
#include "platform/posix/file_system.hpp"
#include "platform/posix/file_system_detail.hpp"
#include "platform/posix/owned_fd.hpp"
#include "platform/posix/path_text.hpp"

namespace velnaro::platform {
namespace {

struct DirPolicy {
    using Value = DIR*;
    static DIR* invalid() noexcept { return nullptr; }
    static bool is_valid(DIR* dir) noexcept { return dir != nullptr; }
    void close(DIR* dir) noexcept { ::closedir(dir); }
};
// A directory stream; closing it closes the descriptor it was made from.
using OwnedDir = Owned<DirPolicy>;

// Each level holds one descriptor open; deeper trees than this are not ours to remove.
constexpr int kMaxTreeDepth = 256;

bool is_dot_entry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Entry names of an open directory; takes ownership of `fd`.
OsResult<std::vector<std::string>> read_names(int fd, std::string_view subject) {
    OwnedDir dir(::fdopendir(fd));
    if (!dir) {
        const int error = errno;
        ::close(fd);
        return os_failure("fdopendir", subject, error);
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr)
            break;
        if (!is_dot_entry(entry->d_name))
            names.emplace_back(entry->d_name);
    }
    if (errno != 0)
        return os_failure("readdir", subject, errno);
    return names;
}

// Empties the directory open at `dir_fd`. Every step is relative to a descriptor opened
// with O_NOFOLLOW, so a symbolic link inside the tree is removed as a link and never
// followed, even when it is swapped in while the removal runs.
// Errors name the entry by its name inside the tree.
OsResult<void> empty_directory(int dir_fd, int depth) {
    if (depth > kMaxTreeDepth)
        return os_failure("remove_tree", "", ELOOP);
    const int listing_fd = ::dup(dir_fd);
    if (listing_fd < 0)
        return os_failure("dup", "", errno);
    ::lseek(listing_fd, 0, SEEK_SET);
    auto names = read_names(listing_fd, "");
    if (!names)
        return std::unexpected(names.error());
    for (const std::string& name : *names) {
        struct stat info {};
        if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return os_failure("fstatat", name, errno);
        }
        if (S_ISDIR(info.st_mode)) {
            OwnedFd child(
                ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!child)
                return os_failure("open", name, errno);
            if (auto emptied = empty_directory(child.get(), depth + 1); !emptied)
                return emptied;
            if (::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0)
                return os_failure("rmdir", name, errno);
        } else if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) {
            return os_failure("unlink", name, errno);
        }
    }
    return {};
}

bool is_directory_at(int directory, const std::string& name) {
    struct stat info {};
    return ::fstatat(directory, name.c_str(), &info, 0) == 0 && S_ISDIR(info.st_mode);
}

bool is_directory(const std::string& path) {
    return is_directory_at(AT_FDCWD, path);
}

}  // namespace

OsResult<void> PosixFileSystem::create_directories(std::string_view path) {
    auto place = place_of(path);
    if (!place)
        return std::unexpected(place.error());
    // A held directory, or a name inside it, is never created by path: the path may lead
    // elsewhere by now.
    if (place->directory != AT_FDCWD) {
        if (!is_directory_at(place->directory, place->name))
            return os_failure("mkdir", path, ENOTDIR);
        return {};
    }
    const std::string& full = place->name;
    // Level by level from the top; each missing level is created private to its owner.
    for (std::size_t end = 1; end <= full.size(); ++end) {
        if (end < full.size() && full[end] != '/')
            continue;
        if (full[end - 1] == '/')
            continue;
        const std::string level = full.substr(0, end);
        // A level that exists counts whatever mkdir said (EEXIST, or EACCES under a parent
        // we may not write to).
        if (::mkdir(level.c_str(), S_IRWXU) != 0) {
            const int error = errno;
            if (!is_directory(level))
                return os_failure("mkdir", level, error == EEXIST ? ENOTDIR : error);
        }
    }
    if (!is_directory(full))
        return os_failure("mkdir", full, ENOTDIR);
    return {};
}

OsResult<std::vector<std::string>> PosixFileSystem::list_directory(std::string_view path) {
    auto place = place_of(path);
    if (!place)
        return std::unexpected(place.error());
    const int fd =
        ::openat(place->directory, place->name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return os_failure("open", path, errno);
    return read_names(fd, path);
}

OsResult<void> PosixFileSystem::remove_tree(std::string_view path) {
    auto os_path = to_os_path(path);
    if (!os_path)
        return invalid_path("open", path);
    // The top itself must be a real directory: a link there would lead the removal elsewhere.
    OwnedFd top(::open(os_path->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!top)
        return os_failure("open", *os_path, errno);
    if (auto emptied = empty_directory(top.get(), 0); !emptied) {
        // The entry's name alone says little; the tree it was in completes it.
        OsError error = emptied.error();
        error.subject = error.subject.empty() ? *os_path : join_path(*os_path, error.subject);
        return std::unexpected(std::move(error));
    }
    top.reset();
    if (::rmdir(os_path->c_str()) != 0)
        return os_failure("rmdir", *os_path, errno);
    return {};
}

// Opening or inspecting the path is part of applying the rule, so its failure is the
// call's. There is no descriptor to build on Linux (the rule is fixed owner and mode bits).
OsResult<void> PosixFileSystem::restrict_access(std::string_view path) {
    // Through a planted link the chown and chmod below would land on the link's target,
    // anywhere on the system; a FIFO is refused below.
    auto opened = open_unfollowed(path);
    if (!opened)
        return std::unexpected(opened.error());
    const OwnedFd& fd = opened->fd;
    const struct stat& info = opened->info;
    if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        return os_failure("open", path, EINVAL);
    // A second name of the same file lives outside our control (a hard link planted before
    // the directory was ours); changing the owner would change it there as well.
    if (S_ISREG(info.st_mode) && info.st_nlink != 1)
        return os_failure("fstat", path, EMLINK);
    // Ownership first: chown can clear mode bits, and the mode must be the last word.
    if (::geteuid() == 0 && info.st_uid != 0 &&
        ::fchown(fd.get(), 0, static_cast<gid_t>(-1)) != 0) {
        return os_failure("fchown", path, errno);
    }
    const mode_t mode = S_ISDIR(info.st_mode) ? S_IRWXU : (S_IRUSR | S_IWUSR);
    if (::fchmod(fd.get(), mode) != 0)
        return os_failure("fchmod", path, errno);
    return {};
}

}  // namespace velnaro::platform
