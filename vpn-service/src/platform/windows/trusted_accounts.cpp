#include "platform/windows/trusted_accounts.hpp"

// After windows.h, which it needs.
#include <sddl.h>

#include "platform/windows/owned_handle.hpp"
#include "platform/windows/well_known_accounts.hpp"

namespace velnaro::platform {

bool TrustedAccounts::load(TrustedOwners owners) {
    sids_.clear();
    for (WELL_KNOWN_SID_TYPE type : {kLocalSystemSid, kAdministratorsSid}) {
        std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
        DWORD size = SECURITY_MAX_SID_SIZE;
        if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size))
            return false;
        sid.resize(size);
        sids_.push_back(std::move(sid));
    }
    LocalMemory<PSID> installer;
    if (!::ConvertStringSidToSidW(kTrustedInstallerSid, installer.out()))
        return false;
    add(installer.get());
    return owners == TrustedOwners::service_and_running_account ? add_process_account() : true;
}

bool TrustedAccounts::contains(PSID sid) const {
    if (sid == nullptr || !::IsValidSid(sid))
        return false;
    for (const auto& trusted : sids_) {
        if (::EqualSid(const_cast<BYTE*>(trusted.data()), sid))
            return true;
    }
    return false;
}

void TrustedAccounts::add(PSID sid) {
    const auto* bytes = static_cast<const BYTE*>(sid);
    sids_.emplace_back(bytes, bytes + ::GetLengthSid(sid));
}

bool TrustedAccounts::add_process_account() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    OwnedHandle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    // Whole 64-bit words, so the TOKEN_USER at the start is suitably aligned.
    std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return false;
    add(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    return true;
}

bool only_denies(const ACE_HEADER& entry) {
    switch (entry.AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            return true;
        default:
            return false;
    }
}

}  // namespace velnaro::platform
