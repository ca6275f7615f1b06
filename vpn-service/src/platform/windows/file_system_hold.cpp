// The data directory's own levels: created with an explicit descriptor, judged when found,
// and held open so that they cannot be renamed under the service.
// windows.h first: the headers after it rely on its declarations.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "platform/windows/file_system.hpp"
#include "platform/windows/file_system_detail.hpp"
#include "platform/windows/owned_handle.hpp"
#include "platform/windows/trusted_accounts.hpp"
#include "platform/windows/wide.hpp"

namespace velnaro::platform {
namespace {

// Rights with which a holder could change what the directory holds or who may reach it.
constexpr ACCESS_MASK kChangingRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD |
    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// One entry of the access list lets someone else change the directory. An entry that is
// only inherited by children does not apply to the directory itself; an allowing entry of a
// kind not read here is counted against the directory.
bool lets_others_change(const ACE_HEADER* header, const TrustedAccounts& trusted) {
    if (header->AceFlags & INHERIT_ONLY_ACE)
        return false;
    if (only_denies(*header))
        return false;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
        return true;
    const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    return (allowed->Mask & kChangingRights) != 0 && !trusted.contains(sid);
}

// `operation` and `error` name the call that failed; a level judged and refused has none.
std::unexpected<HoldFailure> refuse(DirectoryTrust found, const std::wstring& level,
                                    std::string_view operation = {}, DWORD error = 0) {
    std::string shown = from_wide(level);
    return std::unexpected(
        HoldFailure{found, shown, OsError{error, std::string(operation), shown}});
}

DirectoryTrust classify_missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? DirectoryTrust::missing
                                                                          : DirectoryTrust::unknown;
}

// Creates a missing level with the service's descriptor; an existing one is judged later.
std::expected<void, HoldFailure> create_level(const std::wstring& level) {
    if (::GetFileAttributesW(level.c_str()) != INVALID_FILE_ATTRIBUTES)
        return {};
    if (const DWORD error = ::GetLastError(); classify_missing(error) != DirectoryTrust::missing)
        return refuse(DirectoryTrust::unknown, level, "GetFileAttributesW", error);
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceOnlySddl, SDDL_REVISION_1,
                                                                descriptor.out(), nullptr)) {
        return refuse(DirectoryTrust::unknown, level, kBuildDescriptorOperation, ::GetLastError());
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    if (!::CreateDirectoryW(level.c_str(), &attributes)) {
        if (const DWORD error = ::GetLastError(); error != ERROR_ALREADY_EXISTS)
            return refuse(DirectoryTrust::missing, level, "CreateDirectoryW", error);
    }
    return {};
}

// Opens the level itself, never what a link there points at. Without FILE_SHARE_DELETE
// nobody can rename or remove it (nor a level above it) while the handle is open.
std::expected<OwnedHandle, HoldFailure> open_level(const std::wstring& level) {
    OwnedHandle handle(::CreateFileW(
        level.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) {
        const DWORD error = ::GetLastError();
        return refuse(classify_missing(error), level, "CreateFileW", error);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info))
        return refuse(DirectoryTrust::unknown, level, "GetFileInformationByHandle",
                      ::GetLastError());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return refuse(DirectoryTrust::link, level);
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return refuse(DirectoryTrust::not_a_directory, level);
    return handle;
}

std::expected<void, HoldFailure> judge_level(HANDLE handle, const std::wstring& level) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    const DWORD error = ::GetSecurityInfo(handle, SE_FILE_OBJECT,
                                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                          &owner, nullptr, &dacl, nullptr, descriptor.out());
    if (error != ERROR_SUCCESS)
        return refuse(DirectoryTrust::unknown, level, "GetSecurityInfo", error);
    const DirectoryTrust trust = judge_directory_descriptor(descriptor.get());
    if (trust != DirectoryTrust::trusted)
        return refuse(trust, level);
    return {};
}

}  // namespace

DirectoryTrust judge_directory_descriptor(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    BOOL owner_defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &owner_defaulted))
        return DirectoryTrust::unknown;
    // The service's own directories, or for a run from a console (self-tests) those of the
    // account that started it.
    TrustedAccounts trusted;
    if (!trusted.load(TrustedOwners::service_and_running_account))
        return DirectoryTrust::unknown;
    if (!trusted.contains(owner))
        return DirectoryTrust::untrusted;
    BOOL present = FALSE;
    BOOL dacl_defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &dacl_defaulted))
        return DirectoryTrust::unknown;
    // No access list at all grants everyone everything.
    if (!present || dacl == nullptr)
        return DirectoryTrust::untrusted;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!::GetAce(dacl, index, &entry))
            return DirectoryTrust::unknown;
        if (lets_others_change(static_cast<const ACE_HEADER*>(entry), trusted))
            return DirectoryTrust::untrusted;
    }
    return DirectoryTrust::trusted;
}

std::expected<std::string, HoldFailure> Win32FileSystem::hold_directory(std::string_view path,
                                                                        std::size_t own_levels) {
    auto wide = to_wide(path);
    if (!wide || wide->empty())
        return refuse(DirectoryTrust::unknown, wide.value_or(L""), "CreateFileW",
                      ERROR_INVALID_NAME);
    std::vector<std::wstring> levels;
    const std::wstring& full = *wide;
    for (std::size_t end = root_length(full) + 1; end <= full.size(); ++end) {
        if ((end == full.size() || is_wide_separator(full[end])) &&
            !is_wide_separator(full[end - 1])) {
            levels.push_back(full.substr(0, end));
        }
    }
    // The levels above the service's own (ProgramData) belong to the system, which lets
    // ordinary accounts create folders there; only what the service owns is judged.
    const std::size_t first_own = levels.size() > own_levels ? levels.size() - own_levels : 0;
    OwnedHandle held;
    for (std::size_t index = 0; index < levels.size(); ++index) {
        if (auto created = create_level(levels[index]); !created)
            return std::unexpected(created.error());
        if (index < first_own)
            continue;
        auto opened = open_level(levels[index]);
        if (!opened)
            return std::unexpected(opened.error());
        if (auto judged = judge_level(opened->get(), levels[index]); !judged)
            return std::unexpected(judged.error());
        held = std::move(*opened);
    }
    if (!held)
        return refuse(DirectoryTrust::unknown, full);
    auto canonical = final_path_of(held.get());
    if (!canonical)
        return refuse(DirectoryTrust::unknown, full, "GetFinalPathNameByHandleW", ::GetLastError());
    std::lock_guard lock(held_mutex_);
    held_[*canonical] = std::move(held);
    return *canonical;
}

}  // namespace velnaro::platform
