#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.hpp"

namespace velnaro {

// The tunnel settings a client sends with APPLY_CONFIG, members in wire order.
struct TunnelConfig {
    std::uint64_t config_version = 0;
    std::string address;
    std::string gateway_public_key;
    std::string endpoint_host;
    std::uint16_t endpoint_port = 0;
    std::vector<std::string> allowed_ips;
    std::uint16_t persistent_keepalive = 0;

    bool operator==(const TunnelConfig&) const = default;
};

bool is_private_ipv4_cidr(std::string_view text);
// The network of an IPv4 CIDR text, host bits cleared ("10.250.77.9/16" -> "10.250.0.0/16").
std::optional<std::string> network_of_cidr(std::string_view text);
// Success, or the code of the first check that fails.
Outcome<void> validate_tunnel_config(const TunnelConfig& config);

}  // namespace velnaro
