#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/posix/file_system.hpp"
#include "platform/posix/path_text.hpp"
#include "platform/posix/text_file.hpp"

namespace velnaro::platform {
namespace {

// The path and every folder above it, the path first. Nothing for a relative path or one
// with "." or ".." in it: walking up such a path by its text would skip real levels.
std::optional<std::vector<std::string>> levels_up_from(const std::string& path) {
    if (path.empty() || path.front() != '/')
        return std::nullopt;
    std::vector<std::string> levels;
    std::string level = path;
    while (level.size() > 1 && level.back() == '/')
        level.pop_back();
    for (;;) {
        const auto cut = level.find_last_of('/');
        const std::string name = level.substr(cut + 1);
        if (name == "." || name == "..")
            return std::nullopt;
        levels.push_back(level);
        if (level == "/")
            return levels;
        level = cut == 0 ? "/" : level.substr(0, cut);
        while (level.size() > 1 && level.back() == '/')
            level.pop_back();
    }
}

// Inside a user namespace that does not map the machine's accounts (an unprivileged test
// or demo run), files of accounts outside it show the kernel's overflow owner. Root of such a
// namespace holds no right beyond the account that made it, so what those accounts could
// replace gives nobody more than they have. Nothing for the machine's own namespace.
std::optional<uid_t> unmapped_owner() {
    const std::string map_text = read_text_file("/proc/self/uid_map").value_or("");
    const auto map = words_of(map_text);
    if (map.size() < 3)
        return std::nullopt;
    const auto inside = leading_number(map[0]), outside = leading_number(map[1]),
               count = leading_number(map[2]);
    if (!inside || !outside || !count || (*inside == 0 && *outside == 0 && *count == 4294967295ULL))
        return std::nullopt;
    const std::string overflow_text = read_text_file("/proc/sys/kernel/overflowuid").value_or("");
    const auto overflow = words_of(overflow_text);
    const auto uid = overflow.empty() ? std::nullopt : leading_number(overflow[0]);
    if (!uid || *uid > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<uid_t>(*uid);
}

bool trusted_owner(const struct stat& info, TrustedOwners owners) {
    static const std::optional<uid_t> outside = unmapped_owner();
    if (info.st_uid == 0 || (outside && info.st_uid == *outside))
        return true;
    return owners == TrustedOwners::service_and_running_account && info.st_uid == ::geteuid();
}

// One level, given what lies below it in the walk (nothing for the path itself). A folder
// that others may write lets them rename the level below away, unless it is sticky and that
// level belongs to a trusted owner: then only the owner may rename or delete it.
bool level_replaceable(const struct stat& info, const struct stat* below, TrustedOwners owners) {
    if (S_ISLNK(info.st_mode) || !trusted_owner(info, owners))
        return true;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return false;
    const bool sticky_folder = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
    return below == nullptr || !sticky_folder || !trusted_owner(*below, owners);
}

}  // namespace

OsResult<bool> PosixFileSystem::replaceable_by_others(std::string_view path,
                                                      TrustedOwners owners) {
    const auto os_path = to_os_path(path);
    const auto levels = os_path ? levels_up_from(*os_path) : std::nullopt;
    if (!levels)
        return std::unexpected(OsError{EINVAL, "replaceable_by_others", std::string(path)});
    struct stat below {};
    for (std::size_t i = 0; i < levels->size(); ++i) {
        struct stat info {};
        if (::lstat((*levels)[i].c_str(), &info) != 0) {
            return std::unexpected(
                OsError{static_cast<std::uint32_t>(errno), "lstat", (*levels)[i]});
        }
        if (level_replaceable(info, i == 0 ? nullptr : &below, owners))
            return true;
        below = info;
    }
    return false;
}

}  // namespace velnaro::platform
