// Who besides the administrators could replace a file or folder: its owner and its access list.
// windows.h first: the headers after it rely on its declarations.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "platform/windows/file_system.hpp"
#include "platform/windows/file_system_detail.hpp"
#include "platform/windows/owned_handle.hpp"
#include "platform/windows/replaceable.hpp"
#include "platform/windows/trusted_accounts.hpp"
#include "platform/windows/wide.hpp"

namespace velnaro::platform {
namespace {

// Rights that let an account swap an object for another: delete or rename it, remove what
// a folder holds, or take the object over through its owner or access list.
constexpr DWORD kReplaceRights = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD | GENERIC_ALL;
// On the object itself also: change its content, or add entries to a folder (a library
// planted beside the executable or the components is found by their imports).
constexpr DWORD kWriteRights = kReplaceRights | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE;

OsError error_of(const char* operation, const std::wstring& path, DWORD code) {
    return OsError{code, operation, from_wide(path)};
}

// Whether an allowed entry of the list gives an untrusted account one of `rights`. Entries
// that only pass on to children (inherit-only) do not apply to the object itself; a missing
// list grants everything to everyone, and an allowing entry of a kind not read here
// (callback, object) counts as granting anything to anyone.
bool grants_others(PACL dacl, DWORD rights, const TrustedAccounts& trusted) {
    if (dacl == nullptr)
        return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(dacl, i, &raw))
            return true;
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue;
        if (only_denies(*header))
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return true;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        if ((ace->Mask & rights) != 0 && !trusted.contains(&ace->SidStart))
            return true;
    }
    return false;
}

bool descriptor_replaceable(PSECURITY_DESCRIPTOR descriptor, DWORD rights,
                            const TrustedAccounts& trusted) {
    PSID owner = nullptr;
    BOOL owner_defaulted = FALSE;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    BOOL dacl_defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &owner_defaulted) ||
        !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &dacl_defaulted)) {
        return true;
    }
    // The owner may always rewrite the access list.
    if (owner == nullptr || !trusted.contains(owner))
        return true;
    return grants_others(present ? dacl : nullptr, rights, trusted);
}

OsResult<bool> level_replaceable(const std::wstring& level, bool volume_root, DWORD rights,
                                 const TrustedAccounts& trusted) {
    // The attribute query reports a link or junction itself, not what it points at. A volume's
    // root has no name in a folder to be swapped under (Wine marks its "Z:\\" as a link).
    const DWORD attributes = ::GetFileAttributesW(level.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return std::unexpected(error_of("GetFileAttributesW", level, ::GetLastError()));
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !volume_root)
        return true;
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    const DWORD status = ::GetNamedSecurityInfoW(
        level.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        nullptr, nullptr, nullptr, nullptr, descriptor.out());
    if (status != ERROR_SUCCESS)
        return std::unexpected(error_of("GetNamedSecurityInfoW", level, status));
    return descriptor_replaceable(descriptor.get(), rights, trusted);
}

}  // namespace

OsResult<bool> descriptor_lets_others_replace(PSECURITY_DESCRIPTOR descriptor, bool named_object,
                                              TrustedOwners owners) {
    TrustedAccounts trusted;
    if (!trusted.load(owners))
        return std::unexpected(OsError{::GetLastError(), "TrustedAccounts", ""});
    return descriptor_replaceable(descriptor, named_object ? kWriteRights : kReplaceRights,
                                  trusted);
}

OsResult<bool> Win32FileSystem::replaceable_by_others(std::string_view path,
                                                      TrustedOwners owners) {
    auto wide = to_wide(path);
    if (!wide || root_length(*wide) == 0)
        return std::unexpected(
            OsError{ERROR_INVALID_NAME, "replaceable_by_others", std::string(path)});
    TrustedAccounts trusted;
    if (!trusted.load(owners))
        return std::unexpected(error_of("TrustedAccounts", *wide, ::GetLastError()));
    std::wstring level = *wide;
    const std::size_t root = root_length(level);
    // Above the named object, adding new entries replaces nothing: "C:\" lets every
    // account create folders.
    DWORD rights = kWriteRights;
    for (;;) {
        while (level.size() > root && is_wide_separator(level.back()))
            level.pop_back();
        auto replaceable = level_replaceable(level, level.size() <= root, rights, trusted);
        if (!replaceable || *replaceable)
            return replaceable;
        if (level.size() <= root)
            return false;
        std::size_t cut = level.size();
        while (cut > root && !is_wide_separator(level[cut - 1]))
            --cut;
        level.resize(cut);
        rights = kReplaceRights;
    }
}

}  // namespace velnaro::platform
