#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "core/failure.hpp"
#include "core/version.hpp"
#include "identity/device_identity.hpp"
#include "protocol/connection_status.hpp"
#include "tunnel_config/tunnel_config.hpp"

namespace velnaro {

// The largest request body and the largest response body; the smallest request is 1 byte.
inline constexpr std::size_t MAX_IPC_MESSAGE_BYTES = 65536;

// A message that carries nothing but its kind.
struct NoArguments {
    bool operator==(const NoArguments&) const = default;
};
struct GetVersion : NoArguments {};
struct GetStatus : NoArguments {};
struct EnsureIdentity : NoArguments {};
struct GetPublicIdentity : NoArguments {};
struct ApplyConfig {
    TunnelConfig config;
    bool operator==(const ApplyConfig&) const = default;
};
struct Start : NoArguments {};
struct Stop : NoArguments {};
struct Repair : NoArguments {};
struct PrepareIdentityRotation : NoArguments {};
struct CommitIdentityRotation : NoArguments {};
struct AbortIdentityRotation : NoArguments {};

// The alternatives stand in the order of the command table (protocol/commands.hpp), which
// gives each its wire name and how the service treats it.
using ServiceRequest =
    std::variant<GetVersion, GetStatus, EnsureIdentity, GetPublicIdentity, ApplyConfig, Start, Stop,
                 Repair, PrepareIdentityRotation, CommitIdentityRotation, AbortIdentityRotation>;

struct VersionPayload {
    std::string_view service_version = kServiceVersion;
    bool operator==(const VersionPayload&) const = default;
};

struct ErrorPayload {
    DetailCode code{};
    bool operator==(const ErrorPayload&) const = default;
};

struct VersionResponse {
    VersionPayload payload;
    bool operator==(const VersionResponse&) const = default;
};
struct StatusResponse {
    ConnectionStatus payload;
    bool operator==(const StatusResponse&) const = default;
};
struct PublicIdentityResponse {
    PublicIdentity payload;
    bool operator==(const PublicIdentityResponse&) const = default;
};
struct AcceptedResponse : NoArguments {};
struct ErrorResponse {
    ErrorPayload payload;
    bool operator==(const ErrorResponse&) const = default;
};

using ServiceResponse = std::variant<VersionResponse, StatusResponse, PublicIdentityResponse,
                                     AcceptedResponse, ErrorResponse>;

// The wire name ("command") of a request alternative.
std::string_view command_name(const ServiceRequest& request);

// A request body: IPC_MESSAGE_SIZE_INVALID for 0 or more than 65536 bytes, otherwise
// IPC_REQUEST_INVALID for anything that is not exactly one well-formed request.
Outcome<ServiceRequest> decode_request(std::span<const std::uint8_t> body);

// The compact response body: IPC_RESPONSE_TOO_LARGE above 65536 bytes,
// IPC_RESPONSE_SERIALIZE_FAILED when a text cannot be written as JSON.
Outcome<std::vector<std::uint8_t>> encode_response(const ServiceResponse& response);

}  // namespace velnaro
