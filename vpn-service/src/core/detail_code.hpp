#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace velnaro {

// One value per outcome the system can report, with its stable number. The text form is what
// clients see; the number is what a process that gives up hands the service manager (the
// service-specific exit code on Windows, the exit status on Linux). Numbers start at 10 so
// that they never mean the command line's own statuses 0, 1 and 2, stay below systemd's
// reserved 200 and up, and are never reused or changed: a new code takes the next free number
// at the end of the list, wherever its name would sort.
#define VELNARO_DETAIL_CODES(X)                  \
    X(ADDRESS_INVALID, 10)                       \
    X(ALLOWED_IPS_INVALID, 11)                   \
    X(COMPONENT_DIRECTORY_UNAVAILABLE, 12)       \
    X(CONFIG_VERSION_INVALID, 13)                \
    X(DPAPI_DESCRIPTION_INVALID, 14)             \
    X(DPAPI_DESCRIPTION_MISMATCH, 15)            \
    X(DPAPI_DESCRIPTION_MISSING, 16)             \
    X(DPAPI_PROTECT_FAILED, 17)                  \
    X(DPAPI_ROUNDTRIP_FAILED, 18)                \
    X(DPAPI_UNPROTECT_FAILED, 19)                \
    X(ENDPOINT_INVALID, 20)                      \
    X(EXECUTABLE_DIRECTORY_UNAVAILABLE, 21)      \
    X(EXECUTABLE_PATH_INVALID, 22)               \
    X(EXECUTABLE_PATH_UNAVAILABLE, 23)           \
    X(GATEWAY_PUBLIC_KEY_INVALID, 24)            \
    X(IDENTITY_CRYPTO_ROUNDTRIP_FAILED, 25)      \
    X(IDENTITY_DIRECTORY_CREATE_FAILED, 26)      \
    X(IDENTITY_DIRECTORY_UNAVAILABLE, 27)        \
    X(IDENTITY_KEY_VERSION_EXHAUSTED, 28)        \
    X(IDENTITY_METADATA_INVALID, 29)             \
    X(IDENTITY_METADATA_READ_FAILED, 30)         \
    X(IDENTITY_METADATA_WRITE_FAILED, 31)        \
    X(IDENTITY_NOT_STABLE, 32)                   \
    X(IDENTITY_PAYLOAD_INVALID, 33)              \
    X(IDENTITY_PROTECTED_SIZE_INVALID, 34)       \
    X(IDENTITY_PUBLIC_KEY_INVALID, 35)           \
    X(IDENTITY_READ_FAILED, 36)                  \
    X(IDENTITY_ROTATION_ABORT_FAILED, 37)        \
    X(IDENTITY_ROTATION_COMMIT_FAILED, 38)       \
    X(IDENTITY_ROTATION_INVALID, 39)             \
    X(IDENTITY_ROTATION_NOT_PREPARED, 40)        \
    X(IDENTITY_SECRET_SIZE_INVALID, 41)          \
    X(IDENTITY_STORAGE_UNAVAILABLE, 42)          \
    X(IDENTITY_WRITE_FAILED, 43)                 \
    X(IPC_MESSAGE_SIZE_INVALID, 44)              \
    X(IPC_READ_FAILED, 45)                       \
    X(IPC_REQUEST_INVALID, 46)                   \
    X(IPC_RESPONSE_SERIALIZE_FAILED, 47)         \
    X(IPC_RESPONSE_TOO_LARGE, 48)                \
    X(IPC_SELF_TEST_EXCHANGE_FAILED, 49)         \
    X(IPC_SELF_TEST_PIPE_UNAVAILABLE, 50)        \
    X(IPC_SELF_TEST_RESPONSE_INVALID, 51)        \
    X(IPC_WRITE_FAILED, 52)                      \
    X(KEEPALIVE_INVALID, 53)                     \
    X(KEY_GENERATION_FAILED, 54)                 \
    X(LOCAL_IDENTITY_CORRUPT, 55)                \
    X(LOCAL_IDENTITY_LOST, 56)                   \
    X(PROGRAMDATA_UNAVAILABLE, 57)               \
    X(SECURE_PATH_ACL_FAILED, 58)                \
    X(SECURE_PATH_INVALID, 59)                   \
    X(SECURITY_DESCRIPTOR_INVALID, 60)           \
    X(SERVICE_CREATE_FAILED, 61)                 \
    X(SERVICE_DELETE_FAILED, 62)                 \
    X(SERVICE_DESCRIPTION_FAILED, 63)            \
    X(SERVICE_MANAGER_ACCESS_DENIED, 64)         \
    X(SERVICE_MANAGER_UNAVAILABLE, 65)           \
    X(SERVICE_SID_CONFIGURATION_FAILED, 66)      \
    X(SERVICE_SID_INVALID, 67)                   \
    X(SERVICE_SID_QUERY_FAILED, 68)              \
    X(SERVICE_START_FAILED, 69)                  \
    X(SERVICE_STATUS_QUERY_FAILED, 70)           \
    X(SERVICE_STOP_FAILED, 71)                   \
    X(TUNNEL_CONFIG_BUILD_FAILED, 72)            \
    X(TUNNEL_CONFIG_CONTENT_INVALID, 73)         \
    X(TUNNEL_CONFIG_MISSING, 74)                 \
    X(TUNNEL_CONFIG_PATH_INVALID, 75)            \
    X(TUNNEL_CONFIG_PLAINTEXT_FOUND, 76)         \
    X(TUNNEL_CONFIG_READ_FAILED, 77)             \
    X(TUNNEL_CONFIG_REPLACE_FAILED, 78)          \
    X(TUNNEL_CONFIG_TEST_DIRECTORY_FAILED, 79)   \
    X(TUNNEL_CONFIG_WRITE_FAILED, 80)            \
    X(TUNNEL_DLL_LOAD_FAILED, 81)                \
    X(TUNNEL_DLL_MISSING, 82)                    \
    X(TUNNEL_EXPORT_MISSING, 83)                 \
    X(TUNNEL_SERVICE_BUSY, 84)                   \
    X(TUNNEL_SERVICE_CREATE_FAILED, 85)          \
    X(TUNNEL_SERVICE_DELETE_FAILED, 86)          \
    X(TUNNEL_SERVICE_DESCRIPTION_FAILED, 87)     \
    X(TUNNEL_SERVICE_FAILED, 88)                 \
    X(TUNNEL_SERVICE_NOT_INSTALLED, 89)          \
    X(TUNNEL_SERVICE_SID_FAILED, 90)             \
    X(TUNNEL_SERVICE_SID_INVALID, 91)            \
    X(TUNNEL_SERVICE_SID_QUERY_FAILED, 92)       \
    X(TUNNEL_SERVICE_START_FAILED, 93)           \
    X(TUNNEL_SERVICE_STATUS_FAILED, 94)          \
    X(TUNNEL_SERVICE_STOP_FAILED, 95)            \
    X(TUNNEL_SERVICE_STOP_TIMEOUT, 96)           \
    X(TUNNEL_SERVICE_UPDATE_FAILED, 97)          \
    X(WIREGUARD_ADAPTER_DOWN, 98)                \
    X(WIREGUARD_ADAPTER_NOT_FOUND, 99)           \
    X(WIREGUARD_ADAPTER_NOT_READY, 100)          \
    X(WIREGUARD_ADAPTER_STATE_FAILED, 101)       \
    X(WIREGUARD_CONFIGURATION_INVALID, 102)      \
    X(WIREGUARD_CONFIGURATION_READ_FAILED, 103)  \
    X(WIREGUARD_CONFIGURATION_SIZE_INVALID, 104) \
    X(WIREGUARD_DLL_LOAD_FAILED, 105)            \
    X(WIREGUARD_DLL_MISSING, 106)                \
    X(WIREGUARD_EMBEDDABLE_NOT_LINKED, 107)      \
    X(WIREGUARD_HANDSHAKE_PENDING, 108)          \
    X(WIREGUARD_HANDSHAKE_STALE, 109)            \
    X(WIREGUARD_PEER_COUNT_INVALID, 110)         \
    X(IPC_CALLER_NOT_ALLOWED, 111)               \
    X(IPC_PIPE_IN_USE, 112)                      \
    X(IPC_PIPE_CREATE_FAILED, 113)               \
    X(SERVICE_LOCATION_UNSAFE, 114)              \
    X(SERVICE_ACCESS_DENIED, 115)                \
    X(TUNNEL_ENDPOINT_UNRESOLVED, 116)           \
    X(TUNNEL_INTERFACE_IN_USE, 117)              \
    X(SERVICE_THREAD_START_FAILED, 118)          \
    X(SERVICE_CONTROL_HANDLER_FAILED, 119)       \
    X(SERVICE_STATUS_REPORT_FAILED, 120)         \
    X(SERVICE_INTERNAL_ERROR, 121)               \
    X(SERVICE_HARDENING_FAILED, 122)             \
    X(TUNNEL_SERVICE_HARDENING_FAILED, 123)      \
    X(TUNNEL_CONFIG_STORED_INVALID, 124)         \
    X(TUNNEL_RANGES_HOLD_FAILED, 125)

enum class DetailCode {
#define VELNARO_DETAIL_CODE_ENUM(name, number) name,
    VELNARO_DETAIL_CODES(VELNARO_DETAIL_CODE_ENUM)
#undef VELNARO_DETAIL_CODE_ENUM
};

inline constexpr std::size_t kDetailCodeCount = 0
#define VELNARO_DETAIL_CODE_COUNT(name, number) +1
    VELNARO_DETAIL_CODES(VELNARO_DETAIL_CODE_COUNT)
#undef VELNARO_DETAIL_CODE_COUNT
    ;

// The exact upper-case text of a code, as it appears on the wire and on standard output.
std::string_view to_text(DetailCode code);

// The code whose text is exactly `text`, if any.
std::optional<DetailCode> detail_code_from_text(std::string_view text);
// The code's stable number (10 and up, below 200).
unsigned stable_number(DetailCode code);
// The code whose stable number is `number`, if any (an exit status read back).
std::optional<DetailCode> detail_code_from_stable_number(unsigned number);

}  // namespace velnaro
