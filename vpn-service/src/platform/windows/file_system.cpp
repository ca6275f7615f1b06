#include "platform/windows/file_system.hpp"

#include <windows.h>

#include <algorithm>

#include "platform/windows/file_system_detail.hpp"
#include "platform/windows/owned_handle.hpp"
#include "platform/windows/wide.hpp"

namespace velnaro::platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// One WriteFile or ReadFile takes a DWORD count; larger buffers go in several calls.
constexpr std::size_t kMaxTransfer = 1u << 30;

HANDLE to_native(FileHandle file) {
    return reinterpret_cast<HANDLE>(file.value);
}

bool is_usable(FileHandle file) {
    const HANDLE handle = to_native(file);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Opens the object itself (directories included, links followed) for queries only.
OwnedHandle open_for_query(const std::wstring& path) {
    return OwnedHandle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

}  // namespace

std::optional<BY_HANDLE_FILE_INFORMATION> followed_attributes(const std::wstring& path) {
    OwnedHandle handle = open_for_query(path);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !::GetFileInformationByHandle(handle.get(), &info))
        return std::nullopt;
    if (::GetFileType(handle.get()) != FILE_TYPE_DISK)
        info.dwFileAttributes |= FILE_ATTRIBUTE_DEVICE;
    return info;
}

PathKind Win32FileSystem::path_kind(std::string_view path) {
    auto wide = to_wide(path);
    if (!wide)
        return PathKind::missing;
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    if (auto info = followed_attributes(*wide)) {
        attributes = info->dwFileAttributes;
    } else if (const DWORD error = ::GetLastError();
               error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        // The object exists but may not be opened; its directory entry still tells what it
        // is, unless it is a link whose target could not be reached.
        attributes = ::GetFileAttributesW(wide->c_str());
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            attributes = INVALID_FILE_ATTRIBUTES;
    }
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return PathKind::missing;
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return PathKind::other;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return PathKind::directory;
    return PathKind::regular_file;
}

OsResult<DirectoryTrust> Win32FileSystem::directory_trust(std::string_view path) {
    auto wide = to_wide(path);
    if (!wide)
        return invalid_path("GetFileAttributesW", path);
    // The attribute query reports a link or junction itself, not what it points at.
    const DWORD attributes = ::GetFileAttributesW(wide->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return DirectoryTrust::missing;
        return os_failure("GetFileAttributesW", path, error);
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return DirectoryTrust::link;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return DirectoryTrust::not_a_directory;
    return DirectoryTrust::trusted;
}

std::optional<std::string> final_path_of(HANDLE handle) {
    std::wstring final_path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, final_path.data(),
                                                         static_cast<DWORD>(final_path.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return std::nullopt;
        if (length < final_path.size()) {
            final_path.resize(length);
            return from_wide(final_path);
        }
        final_path.assign(length, L'\0');  // too small: length is the size needed
    }
    return std::nullopt;
}

OsResult<std::string> Win32FileSystem::canonical_directory(std::string_view path) {
    auto wide = to_wide(path);
    if (!wide)
        return invalid_path("CreateFileW", path);
    OwnedHandle handle = open_for_query(*wide);
    if (!handle)
        return os_failure("CreateFileW", path, ::GetLastError());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info))
        return os_failure("GetFileInformationByHandle", path, ::GetLastError());
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return os_failure("CreateFileW", path, ERROR_DIRECTORY);
    auto canonical = final_path_of(handle.get());
    if (!canonical)
        return os_failure("GetFinalPathNameByHandleW", path, ::GetLastError());
    return std::move(*canonical);
}

OsResult<OwnedFile> Win32FileSystem::create_new_file(std::string_view path) {
    auto wide = to_wide(path);
    if (!wide)
        return invalid_path("CreateFileW", path);
    // Without FILE_FLAG_OPEN_REPARSE_POINT a dangling link under this name would be followed
    // and its target created.
    const HANDLE handle =
        ::CreateFileW(wide->c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return os_failure("CreateFileW", path, ::GetLastError());
    return OwnedFile(FileHandle{reinterpret_cast<std::uintptr_t>(handle)}, FilePolicy{this});
}

OsResult<std::size_t> Win32FileSystem::write_file(FileHandle file,
                                                  std::span<const std::uint8_t> bytes) {
    if (!is_usable(file))
        return os_failure("WriteFile", "", ERROR_INVALID_HANDLE);
    const auto count = static_cast<DWORD>(std::min(bytes.size(), kMaxTransfer));
    DWORD written = 0;
    if (!::WriteFile(to_native(file), bytes.data(), count, &written, nullptr))
        return os_failure("WriteFile", "", ::GetLastError());
    return written;
}

OsResult<void> Win32FileSystem::flush_file(FileHandle file) {
    if (!is_usable(file))
        return os_failure("FlushFileBuffers", "", ERROR_INVALID_HANDLE);
    if (!::FlushFileBuffers(to_native(file)))
        return os_failure("FlushFileBuffers", "", ::GetLastError());
    return {};
}

void Win32FileSystem::close_file(FileHandle file) {
    if (is_usable(file))
        ::CloseHandle(to_native(file));
}

OsResult<std::vector<std::uint8_t>> Win32FileSystem::read_file(std::string_view path,
                                                               std::size_t max_bytes) {
    auto wide = to_wide(path);
    if (!wide)
        return invalid_path("CreateFileW", path);
    // The link itself is opened, and refused below, so a planted link is never read through.
    OwnedHandle handle(::CreateFileW(wide->c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr));
    if (!handle)
        return os_failure("CreateFileW", path, ::GetLastError());
    if (::GetFileType(handle.get()) != FILE_TYPE_DISK)
        return os_failure("GetFileType", path, ERROR_BAD_FILE_TYPE);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info))
        return os_failure("GetFileInformationByHandle", path, ::GetLastError());
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        return os_failure("CreateFileW", path, ERROR_BAD_FILE_TYPE);

    const std::size_t limit = max_bytes == SIZE_MAX ? max_bytes : max_bytes + 1;
    std::vector<std::uint8_t> content;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(handle.get(), &size) && size.QuadPart >= 0) {
        content.reserve(std::min(static_cast<std::size_t>(size.QuadPart), limit));
    }
    std::uint8_t chunk[16384];
    while (content.size() < limit) {
        const auto want = static_cast<DWORD>(std::min(sizeof chunk, limit - content.size()));
        DWORD got = 0;
        if (!::ReadFile(handle.get(), chunk, want, &got, nullptr))
            return os_failure("ReadFile", path, ::GetLastError());
        if (got == 0)
            break;
        content.insert(content.end(), chunk, chunk + got);
    }
    return content;
}

OsResult<void> Win32FileSystem::delete_file(std::string_view path) {
    auto wide = to_wide(path);
    if (!wide)
        return invalid_path("DeleteFileW", path);
    if (!::DeleteFileW(wide->c_str()))
        return os_failure("DeleteFileW", path, ::GetLastError());
    return {};
}

OsResult<void> Win32FileSystem::move_file(std::string_view from, std::string_view to,
                                          MoveMode mode) {
    auto wide_from = to_wide(from);
    if (!wide_from)
        return invalid_path("MoveFileExW", from);
    auto wide_to = to_wide(to);
    if (!wide_to)
        return invalid_path("MoveFileExW", to);
    DWORD flags = 0;
    switch (mode) {
        case MoveMode::replace:
            flags = MOVEFILE_REPLACE_EXISTING;
            break;
        case MoveMode::replace_write_through:
            flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
            break;
        case MoveMode::no_replace_write_through:
            flags = MOVEFILE_WRITE_THROUGH;
            break;
    }
    if (!::MoveFileExW(wide_from->c_str(), wide_to->c_str(), flags))
        return os_failure("MoveFileExW", to, ::GetLastError());
    return {};
}

OsResult<std::string> Win32FileSystem::temporary_directory() {
    wchar_t buffer[MAX_PATH + 2];
    const DWORD length = ::GetTempPathW(MAX_PATH + 2, buffer);
    if (length == 0)
        return os_failure("GetTempPathW", "", ::GetLastError());
    if (length > MAX_PATH + 1)
        return os_failure("GetTempPathW", "", ERROR_INSUFFICIENT_BUFFER);
    std::wstring path(buffer, length);
    // Keep the separator of a drive root ("C:\"), drop any other trailing one.
    while (path.size() > 3 && is_wide_separator(path.back()))
        path.pop_back();
    return from_wide(path);
}

}  // namespace velnaro::platform
