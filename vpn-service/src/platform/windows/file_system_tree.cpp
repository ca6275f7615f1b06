// Directories: creation, listing, removal, and the access list.
// windows.h first: the header after it relies on its declarations.
#include <windows.h>

#include <sddl.h>

#include <cwctype>

#include "platform/windows/file_system.hpp"
#include "platform/windows/file_system_detail.hpp"
#include "platform/windows/owned_handle.hpp"
#include "platform/windows/wide.hpp"

namespace velnaro::platform {
namespace {

// Index just past the next separator at or after `from` (or the end of the text).
std::size_t past_component(std::wstring_view path, std::size_t from) {
    while (from < path.size() && !is_wide_separator(path[from]))
        ++from;
    return from < path.size() ? from + 1 : from;
}

bool starts_with_unc(std::wstring_view rest) {
    return rest.size() >= 4 && std::towupper(rest[0]) == L'U' && std::towupper(rest[1]) == L'N' &&
           std::towupper(rest[2]) == L'C' && is_wide_separator(rest[3]);
}

}  // namespace

// Length of the part of the path that names a volume and cannot be created: "C:\",
// "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\", "\\?\Volume{...}\".
std::size_t root_length(std::wstring_view path) {
    const bool two_separators =
        path.size() >= 2 && is_wide_separator(path[0]) && is_wide_separator(path[1]);
    if (two_separators && path.size() >= 4 && (path[2] == L'?' || path[2] == L'.') &&
        is_wide_separator(path[3])) {
        const std::wstring_view rest = path.substr(4);
        if (starts_with_unc(rest))
            return past_component(path, past_component(path, 8));
        if (rest.size() >= 2 && rest[1] == L':')
            return std::min<std::size_t>(path.size(), 7);
        return past_component(path, 4);
    }
    if (two_separators)
        return past_component(path, past_component(path, 2));
    if (path.size() >= 2 && path[1] == L':') {
        return path.size() >= 3 && is_wide_separator(path[2]) ? 3 : 2;
    }
    return path.empty() || !is_wide_separator(path[0]) ? 0 : 1;
}

namespace {

// The owner is set with the access list: an owner keeps WRITE_DAC whatever the list says.
constexpr SECURITY_INFORMATION kOwnerAndDaclProtected =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
constexpr int kMaxTreeDepth = 256;

bool is_directory(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring child_of(const std::wstring& directory, const std::wstring& name) {
    std::wstring child = directory;
    if (!child.empty() && !is_wide_separator(child.back()))
        child.push_back(L'\\');
    return child + name;
}

struct Entry {
    std::wstring name;
    DWORD attributes;
};

OsResult<std::vector<Entry>> read_entries(const std::wstring& directory) {
    WIN32_FIND_DATAW data{};
    FindHandle search(::FindFirstFileExW(child_of(directory, L"*").c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, 0));
    std::vector<Entry> entries;
    if (!search) {
        // An empty root directory has not even "." and ".." to report.
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND && is_directory(directory))
            return entries;
        return os_failure("FindFirstFileExW", from_wide(directory), error);
    }
    do {
        const std::wstring_view name = data.cFileName;
        if (name != L"." && name != L"..")
            entries.push_back({data.cFileName, data.dwFileAttributes});
    } while (::FindNextFileW(search.get(), &data));
    if (const DWORD error = ::GetLastError(); error != ERROR_NO_MORE_FILES)
        return os_failure("FindNextFileW", from_wide(directory), error);
    return entries;
}

// A reparse point (junction, symbolic link) inside the tree is removed as a link; what it
// points at is never entered.
OsResult<void> empty_directory(const std::wstring& directory, int depth) {
    if (depth > kMaxTreeDepth)
        return os_failure("RemoveDirectoryW", from_wide(directory), ERROR_CANT_RESOLVE_FILENAME);
    auto entries = read_entries(directory);
    if (!entries)
        return std::unexpected(entries.error());
    for (const Entry& entry : *entries) {
        const std::wstring child = child_of(directory, entry.name);
        const bool is_dir = entry.attributes & FILE_ATTRIBUTE_DIRECTORY;
        const bool is_link = entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT;
        if (is_dir && !is_link) {
            if (auto emptied = empty_directory(child, depth + 1); !emptied)
                return emptied;
        }
        if (entry.attributes & FILE_ATTRIBUTE_READONLY) {
            ::SetFileAttributesW(child.c_str(), entry.attributes & ~FILE_ATTRIBUTE_READONLY);
        }
        if (is_dir ? !::RemoveDirectoryW(child.c_str()) : !::DeleteFileW(child.c_str())) {
            return os_failure(is_dir ? "RemoveDirectoryW" : "DeleteFileW", from_wide(child),
                              ::GetLastError());
        }
    }
    return {};
}

}  // namespace

OsResult<void> Win32FileSystem::create_directories(std::string_view path) {
    auto wide = to_wide(path);
    if (!wide || wide->empty())
        return invalid_path("CreateDirectoryW", path);
    const std::wstring& full = *wide;
    for (std::size_t end = root_length(full) + 1; end <= full.size(); ++end) {
        if (end < full.size() && !is_wide_separator(full[end]))
            continue;
        if (is_wide_separator(full[end - 1]))
            continue;
        const std::wstring level = full.substr(0, end);
        // A level that exists counts whatever the call said (already exists, or access
        // denied on a parent we may not write to).
        if (!::CreateDirectoryW(level.c_str(), nullptr)) {
            const DWORD error = ::GetLastError();
            if (!is_directory(level)) {
                return os_failure("CreateDirectoryW", from_wide(level),
                                  error == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : error);
            }
        }
    }
    if (!is_directory(full))
        return os_failure("CreateDirectoryW", path, ERROR_DIRECTORY);
    return {};
}

OsResult<std::vector<std::string>> Win32FileSystem::list_directory(std::string_view path) {
    auto wide = to_wide(path);
    if (!wide)
        return invalid_path("FindFirstFileExW", path);
    auto entries = read_entries(*wide);
    if (!entries)
        return std::unexpected(entries.error());
    std::vector<std::string> names;
    names.reserve(entries->size());
    for (const Entry& entry : *entries)
        names.push_back(from_wide(entry.name));
    return names;
}

OsResult<void> Win32FileSystem::remove_tree(std::string_view path) {
    auto wide = to_wide(path);
    if (!wide)
        return invalid_path("RemoveDirectoryW", path);
    // A held directory cannot be removed while the hold denies deletion; removing it on
    // purpose ends the hold.
    if (auto canonical = canonical_directory(path)) {
        std::lock_guard lock(held_mutex_);
        held_.erase(*canonical);
    }
    // The top must be a real directory: through a junction the removal would empty its target.
    const DWORD attributes = ::GetFileAttributesW(wide->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return os_failure("GetFileAttributesW", path, ::GetLastError());
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return os_failure("RemoveDirectoryW", path, ERROR_DIRECTORY);
    if (auto emptied = empty_directory(*wide, 0); !emptied)
        return emptied;
    if (!::RemoveDirectoryW(wide->c_str()))
        return os_failure("RemoveDirectoryW", path, ::GetLastError());
    return {};
}

OsResult<void> Win32FileSystem::restrict_access(std::string_view path) {
    auto wide = to_wide(path);
    if (!wide)
        return invalid_path("CreateFileW", path);
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceOnlySddl, SDDL_REVISION_1,
                                                                descriptor.out(), nullptr) ||
        descriptor.get() == nullptr) {
        return os_failure(kBuildDescriptorOperation, path, ::GetLastError());
    }
    // The rights are set through a handle on the object itself: the path-based call would
    // follow a link planted under this name and rewrite the rights of its target.
    OwnedHandle handle(::CreateFileW(
        wide->c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle)
        return os_failure("CreateFileW", path, ::GetLastError());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info))
        return os_failure("GetFileInformationByHandle", path, ::GetLastError());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return os_failure("CreateFileW", path, ERROR_BAD_FILE_TYPE);
    // A second name of the file may sit where others can reach it; its rights would change too.
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && info.nNumberOfLinks != 1)
        return os_failure("GetFileInformationByHandle", path, ERROR_TOO_MANY_LINKS);
    if (!::SetKernelObjectSecurity(handle.get(), kOwnerAndDaclProtected, descriptor.get()))
        return os_failure("SetKernelObjectSecurity", path, ::GetLastError());
    return {};
}

}  // namespace velnaro::platform
