#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "addresses.hpp"
#include "core/secret_buffer.hpp"

namespace velnaro::wglinux {

inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kMaxAllowedNetworks = 16;

// What the sealed WireGuard text says, read into typed values.
struct TunnelSettings {
    SecretArray<kKeySize> private_key;
    Ipv4Cidr address;
    std::array<std::uint8_t, kKeySize> peer_public_key{};
    std::string endpoint_host;
    std::uint16_t endpoint_port = 0;
    std::vector<Ipv4Cidr> allowed_networks;
    std::uint16_t persistent_keepalive = 0;
};

// Reads exactly the nine lines the service writes (see the service's configuration file),
// each ended by a line feed, in their fixed order; anything else is refused rather than
// guessed at, since the text comes from one writer only. Pure: safe to fuzz.
std::optional<TunnelSettings> parse_tunnel_text(std::string_view text);

}  // namespace velnaro::wglinux
