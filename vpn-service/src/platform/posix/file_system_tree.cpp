// Directories: creation, listing, removal, and the access restriction.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/posix/file_system.hpp"
#include "platform/posix/owned_fd.hpp"
#include "platform/posix/path_text.hpp"

namespace velnaro::platform {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using OwnedDir = std::unique_ptr<DIR, DirCloser>;

// Each level holds one descriptor open; deeper trees than this are not ours to remove.
constexpr int kMaxTreeDepth = 256;

bool is_dot_entry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Entry names of an open directory; takes ownership of `fd`.
std::optional<std::vector<std::string>> read_names(int fd) {
    OwnedDir dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return std::nullopt;
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
        return std::nullopt;
    return names;
}

// Empties the directory open at `dir_fd`. Every step is relative to a descriptor opened
// with O_NOFOLLOW, so a symbolic link inside the tree is removed as a link and never
// followed, even when it is swapped in while the removal runs.
bool empty_directory(int dir_fd, int depth) {
    if (depth > kMaxTreeDepth)
        return false;
    const int listing_fd = ::dup(dir_fd);
    if (listing_fd < 0)
        return false;
    ::lseek(listing_fd, 0, SEEK_SET);
    auto names = read_names(listing_fd);
    if (!names)
        return false;
    for (const std::string& name : *names) {
        struct stat info {};
        if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return false;
        }
        if (S_ISDIR(info.st_mode)) {
            OwnedFd child(
                ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!child || !empty_directory(child.get(), depth + 1))
                return false;
            if (::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0)
                return false;
        } else if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) {
            return false;
        }
    }
    return true;
}

bool is_directory_at(int directory, const std::string& name) {
    struct stat info {};
    return ::fstatat(directory, name.c_str(), &info, 0) == 0 && S_ISDIR(info.st_mode);
}

bool is_directory(const std::string& path) {
    return is_directory_at(AT_FDCWD, path);
}

}  // namespace

bool PosixFileSystem::create_directories(std::string_view path) {
    auto place = place_of(path);
    if (!place)
        return false;
    // A held directory, or a name inside it, is never created by path: the path may lead
    // elsewhere by now.
    if (place->directory != AT_FDCWD)
        return is_directory_at(place->directory, place->name);
    auto os_path = to_os_path(path);
    if (!os_path)
        return false;
    const std::string& full = *os_path;
    // Level by level from the top; each missing level is created private to its owner.
    for (std::size_t end = 1; end <= full.size(); ++end) {
        if (end < full.size() && full[end] != '/')
            continue;
        if (full[end - 1] == '/')
            continue;
        const std::string level = full.substr(0, end);
        // A level that exists counts whatever mkdir said (EEXIST, or EACCES under a parent
        // we may not write to).
        if (::mkdir(level.c_str(), S_IRWXU) != 0 && !is_directory(level))
            return false;
    }
    return is_directory(full);
}

std::optional<std::vector<std::string>> PosixFileSystem::list_directory(std::string_view path) {
    auto place = place_of(path);
    if (!place)
        return std::nullopt;
    const int fd =
        ::openat(place->directory, place->name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    return read_names(fd);
}

bool PosixFileSystem::remove_tree(std::string_view path) {
    auto os_path = to_os_path(path);
    if (!os_path)
        return false;
    // The top itself must be a real directory: a link there would lead the removal elsewhere.
    OwnedFd top(::open(os_path->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!top || !empty_directory(top.get(), 0))
        return false;
    top.reset();
    return ::rmdir(os_path->c_str()) == 0;
}

// Opening or inspecting the path is part of applying the rule, so its failure is `failed`.
// There is no descriptor to build on Linux (the rule is fixed owner and mode bits), so
// descriptor_invalid is never returned here.
AccessResult PosixFileSystem::restrict_access(std::string_view path) {
    auto place = place_of(path);
    if (!place)
        return AccessResult::failed;
    // O_NONBLOCK: opening a FIFO must not wait for a writer; such a path is refused below.
    // O_NOFOLLOW: through a planted link the chown and chmod below would land on the link's
    // target, anywhere on the system.
    OwnedFd fd(::openat(place->directory, place->name.c_str(),
                        O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0)
        return AccessResult::failed;
    if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        return AccessResult::failed;
    // A second name of the same file lives outside our control (a hard link planted before
    // the directory was ours); changing the owner would change it there as well.
    if (S_ISREG(info.st_mode) && info.st_nlink != 1)
        return AccessResult::failed;
    // Ownership first: chown can clear mode bits, and the mode must be the last word.
    if (::geteuid() == 0 && info.st_uid != 0 &&
        ::fchown(fd.get(), 0, static_cast<gid_t>(-1)) != 0) {
        return AccessResult::failed;
    }
    const mode_t mode = S_ISDIR(info.st_mode) ? S_IRWXU : (S_IRUSR | S_IWUSR);
    if (::fchmod(fd.get(), mode) != 0)
        return AccessResult::failed;
    return AccessResult::ok;
}

}  // namespace velnaro::platform
