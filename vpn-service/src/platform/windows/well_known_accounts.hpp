#pragma once

#include <windows.h>

// After windows.h, which it needs.
#include <sddl.h>

namespace velnaro::platform {

// The two well-known accounts the service trusts, each named here once: as the SID type the
// checks compare with, and as the alias the access lists below are written with.
inline constexpr WELL_KNOWN_SID_TYPE kLocalSystemSid = WinLocalSystemSid;
inline constexpr WELL_KNOWN_SID_TYPE kAdministratorsSid = WinBuiltinAdministratorsSid;
#define VELNARO_SDDL_SYSTEM SDDL_LOCAL_SYSTEM
#define VELNARO_SDDL_ADMINISTRATORS SDDL_BUILTIN_ADMINISTRATORS

// The descriptor the service gives its directories and data files: owner the administrators,
// access for the local system account and the administrators only, nothing inherited.
inline constexpr wchar_t kServiceOnlySddl[] =
    L"O:" VELNARO_SDDL_ADMINISTRATORS L"D:P(A;OICI;FA;;;" VELNARO_SDDL_SYSTEM
    L")(A;OICI;FA;;;" VELNARO_SDDL_ADMINISTRATORS L")";

// The service's pipe. System and administrators: everything. Interactive users: read, write
// and their attributes (0x12019b), but not FILE_CREATE_PIPE_INSTANCE (the same bit as
// FILE_APPEND_DATA, which GENERIC_WRITE would grant), so nobody but the service can add an
// instance of its own to the name and take clients' requests.
inline constexpr wchar_t kPipeAccessList[] =
    L"D:P(A;;GA;;;" VELNARO_SDDL_SYSTEM L")(A;;GA;;;" VELNARO_SDDL_ADMINISTRATORS
    L")(A;;0x12019b;;;IU)";

#undef VELNARO_SDDL_SYSTEM
#undef VELNARO_SDDL_ADMINISTRATORS

}  // namespace velnaro::platform
