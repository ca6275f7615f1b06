#pragma once

#include <windows.h>

#include <vector>

#include "platform/file_system.hpp"

namespace velnaro::platform {

// TrustedInstaller, the account that owns the system's own files; the one well-known
// account that has no WELL_KNOWN_SID_TYPE of its own.
inline constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The accounts trusted to own and change what the service relies on: the local system
// account, the administrators and TrustedInstaller, and with `running_account` also the
// account this process runs as (a self-test's own folders are as much its own as the
// service's are the system's).
class TrustedAccounts {
  public:
    // False, with the last error set, when one of them cannot be named.
    bool load(TrustedOwners owners);
    bool contains(PSID sid) const;

  private:
    void add(PSID sid);
    bool add_process_account();

    std::vector<std::vector<BYTE>> sids_;
};

// Whether an entry of an access list can only take rights away. Every other entry counts as
// giving its rights, those of a kind a judge does not read (callback, object) included.
bool only_denies(const ACE_HEADER& entry);

}  // namespace velnaro::platform
