#pragma once

#include <optional>
#include <string_view>

namespace velnaro {

// One value per outcome the system can report. The text form is what clients see.
#define VELNARO_DETAIL_CODES(X)              \
    X(ADDRESS_INVALID)                       \
    X(ALLOWED_IPS_INVALID)                   \
    X(COMPONENT_DIRECTORY_UNAVAILABLE)       \
    X(CONFIG_VERSION_INVALID)                \
    X(DPAPI_DESCRIPTION_INVALID)             \
    X(DPAPI_DESCRIPTION_MISMATCH)            \
    X(DPAPI_DESCRIPTION_MISSING)             \
    X(DPAPI_PROTECT_FAILED)                  \
    X(DPAPI_ROUNDTRIP_FAILED)                \
    X(DPAPI_UNPROTECT_FAILED)                \
    X(ENDPOINT_INVALID)                      \
    X(EXECUTABLE_DIRECTORY_UNAVAILABLE)      \
    X(EXECUTABLE_PATH_INVALID)               \
    X(EXECUTABLE_PATH_UNAVAILABLE)           \
    X(GATEWAY_PUBLIC_KEY_INVALID)            \
    X(IDENTITY_CRYPTO_ROUNDTRIP_FAILED)      \
    X(IDENTITY_DIRECTORY_CREATE_FAILED)      \
    X(IDENTITY_DIRECTORY_UNAVAILABLE)        \
    X(IDENTITY_KEY_VERSION_EXHAUSTED)        \
    X(IDENTITY_METADATA_INVALID)             \
    X(IDENTITY_METADATA_READ_FAILED)         \
    X(IDENTITY_METADATA_WRITE_FAILED)        \
    X(IDENTITY_NOT_STABLE)                   \
    X(IDENTITY_PAYLOAD_INVALID)              \
    X(IDENTITY_PROTECTED_SIZE_INVALID)       \
    X(IDENTITY_PUBLIC_KEY_INVALID)           \
    X(IDENTITY_READ_FAILED)                  \
    X(IDENTITY_ROTATION_ABORT_FAILED)        \
    X(IDENTITY_ROTATION_COMMIT_FAILED)       \
    X(IDENTITY_ROTATION_INVALID)             \
    X(IDENTITY_ROTATION_NOT_PREPARED)        \
    X(IDENTITY_SECRET_SIZE_INVALID)          \
    X(IDENTITY_STORAGE_UNAVAILABLE)          \
    X(IDENTITY_WRITE_FAILED)                 \
    X(IPC_MESSAGE_SIZE_INVALID)              \
    X(IPC_READ_FAILED)                       \
    X(IPC_REQUEST_INVALID)                   \
    X(IPC_RESPONSE_SERIALIZE_FAILED)         \
    X(IPC_RESPONSE_TOO_LARGE)                \
    X(IPC_SELF_TEST_EXCHANGE_FAILED)         \
    X(IPC_SELF_TEST_PIPE_UNAVAILABLE)        \
    X(IPC_SELF_TEST_RESPONSE_INVALID)        \
    X(IPC_WRITE_FAILED)                      \
    X(KEEPALIVE_INVALID)                     \
    X(KEY_GENERATION_FAILED)                 \
    X(LOCAL_IDENTITY_CORRUPT)                \
    X(LOCAL_IDENTITY_LOST)                   \
    X(PROGRAMDATA_UNAVAILABLE)               \
    X(SECURE_PATH_ACL_FAILED)                \
    X(SECURE_PATH_INVALID)                   \
    X(SECURITY_DESCRIPTOR_INVALID)           \
    X(SERVICE_CREATE_FAILED)                 \
    X(SERVICE_DELETE_FAILED)                 \
    X(SERVICE_DESCRIPTION_FAILED)            \
    X(SERVICE_MANAGER_ACCESS_DENIED)         \
    X(SERVICE_MANAGER_UNAVAILABLE)           \
    X(SERVICE_SID_CONFIGURATION_FAILED)      \
    X(SERVICE_SID_INVALID)                   \
    X(SERVICE_SID_QUERY_FAILED)              \
    X(SERVICE_START_FAILED)                  \
    X(SERVICE_STATUS_QUERY_FAILED)           \
    X(SERVICE_STOP_FAILED)                   \
    X(TUNNEL_CONFIG_BUILD_FAILED)            \
    X(TUNNEL_CONFIG_CONTENT_INVALID)         \
    X(TUNNEL_CONFIG_MISSING)                 \
    X(TUNNEL_CONFIG_PATH_INVALID)            \
    X(TUNNEL_CONFIG_PLAINTEXT_FOUND)         \
    X(TUNNEL_CONFIG_READ_FAILED)             \
    X(TUNNEL_CONFIG_REPLACE_FAILED)          \
    X(TUNNEL_CONFIG_TEST_DIRECTORY_FAILED)   \
    X(TUNNEL_CONFIG_WRITE_FAILED)            \
    X(TUNNEL_DLL_LOAD_FAILED)                \
    X(TUNNEL_DLL_MISSING)                    \
    X(TUNNEL_EXPORT_MISSING)                 \
    X(TUNNEL_SERVICE_BUSY)                   \
    X(TUNNEL_SERVICE_CREATE_FAILED)          \
    X(TUNNEL_SERVICE_DELETE_FAILED)          \
    X(TUNNEL_SERVICE_DESCRIPTION_FAILED)     \
    X(TUNNEL_SERVICE_FAILED)                 \
    X(TUNNEL_SERVICE_NOT_INSTALLED)          \
    X(TUNNEL_SERVICE_SID_FAILED)             \
    X(TUNNEL_SERVICE_SID_INVALID)            \
    X(TUNNEL_SERVICE_SID_QUERY_FAILED)       \
    X(TUNNEL_SERVICE_START_FAILED)           \
    X(TUNNEL_SERVICE_STATUS_FAILED)          \
    X(TUNNEL_SERVICE_STOP_FAILED)            \
    X(TUNNEL_SERVICE_STOP_TIMEOUT)           \
    X(TUNNEL_SERVICE_UPDATE_FAILED)          \
    X(WIREGUARD_ADAPTER_DOWN)                \
    X(WIREGUARD_ADAPTER_NOT_FOUND)           \
    X(WIREGUARD_ADAPTER_NOT_READY)           \
    X(WIREGUARD_ADAPTER_STATE_FAILED)        \
    X(WIREGUARD_CONFIGURATION_INVALID)       \
    X(WIREGUARD_CONFIGURATION_READ_FAILED)   \
    X(WIREGUARD_CONFIGURATION_SIZE_INVALID)  \
    X(WIREGUARD_DLL_LOAD_FAILED)             \
    X(WIREGUARD_DLL_MISSING)                 \
    X(WIREGUARD_EMBEDDABLE_NOT_LINKED)       \
    X(WIREGUARD_HANDSHAKE_PENDING)           \
    X(WIREGUARD_HANDSHAKE_STALE)             \
    X(WIREGUARD_PEER_COUNT_INVALID)

enum class DetailCode {
#define VELNARO_DETAIL_CODE_ENUM(name) name,
    VELNARO_DETAIL_CODES(VELNARO_DETAIL_CODE_ENUM)
#undef VELNARO_DETAIL_CODE_ENUM
};

// The exact upper-case text of a code, as it appears on the wire and on standard output.
std::string_view to_text(DetailCode code);

// The code whose text is exactly `text`, if any.
std::optional<DetailCode> detail_code_from_text(std::string_view text);

}  // namespace velnaro
