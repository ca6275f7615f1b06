#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/secret_buffer.hpp"
#include "tunnel_text.hpp"

namespace velnaro::wglinux {

enum class AddressFamily : std::uint8_t { ipv4, ipv6 };

struct UapiEndpoint {
    AddressFamily family = AddressFamily::ipv4;
    std::array<std::uint8_t, 16> address{};  // network byte order; IPv4 uses the first 4
    std::uint16_t port = 0;
    std::uint32_t scope_id = 0;
};

struct UapiAllowedIp {
    AddressFamily family = AddressFamily::ipv4;
    std::array<std::uint8_t, 16> address{};
    std::uint8_t cidr = 0;
};

struct UapiPeer {
    std::array<std::uint8_t, kKeySize> public_key{};
    bool has_preshared_key = false;
    SecretArray<kKeySize> preshared_key;
    std::optional<UapiEndpoint> endpoint;
    std::uint16_t persistent_keepalive = 0;
    std::uint64_t tx_bytes = 0;
    std::uint64_t rx_bytes = 0;
    std::int64_t last_handshake_sec = 0;
    std::int64_t last_handshake_nsec = 0;
    std::vector<UapiAllowedIp> allowed_ips;
};

struct UapiDevice {
    bool has_private_key = false;
    SecretArray<kKeySize> private_key;
    std::uint16_t listen_port = 0;
    std::uint32_t fwmark = 0;
    std::vector<UapiPeer> peers;
};

// Reads the answer to "get=1": key=value lines, interface keys first, each peer starting at
// its "public_key", closed by "errno=0" and an empty line. Keys this reader does not know
// are skipped so that a newer daemon still answers; a malformed line, a value out of range,
// a non-zero errno or a missing terminator refuses the whole answer. Pure: safe to fuzz.
std::optional<UapiDevice> parse_uapi_get_response(std::string_view text);

// The errno of a "set=1" answer ("errno=N" and an empty line), or nothing when malformed.
std::optional<std::uint32_t> parse_uapi_errno(std::string_view text);

// The "set=1" request that gives the interface its key, the mark of its socket and its
// single peer. Holds the private key in hex, hence the secret buffer.
SecretBuffer build_uapi_set_request(const TunnelSettings& settings, std::uint32_t endpoint_ipv4,
                                    std::uint32_t socket_mark);

// The "set=1" request that moves one existing peer's endpoint and changes nothing else: no
// replace_peers, no replace_allowed_ips, no interface key.
SecretBuffer build_uapi_endpoint_request(std::span<const std::uint8_t, kKeySize> public_key,
                                         std::uint32_t endpoint_ipv4, std::uint16_t port);

}  // namespace velnaro::wglinux
