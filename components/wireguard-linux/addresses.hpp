#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velnaro::wglinux {

// An IPv4 address with its prefix length, as written in the WireGuard text.
struct Ipv4Cidr {
    std::uint32_t address = 0;  // host byte order
    std::uint8_t prefix = 0;

    std::uint32_t network() const;
    // "a.b.c.d/n" with the address as written (host bits kept), for the interface address.
    std::string text() const;
    // The same with the host bits cleared: routes and allowed networks are networks.
    std::string network_text() const;
    bool operator==(const Ipv4Cidr&) const = default;
};

std::string ipv4_text(std::uint32_t address);

// Dotted quad, each part 0..255 without a leading zero, then "/" and a prefix of one
// optional "+" and digits (leading zeros allowed) worth at most 32.
std::optional<Ipv4Cidr> parse_ipv4_cidr(std::string_view text);

// Decimal without sign or leading zero, at most `max`.
std::optional<std::uint32_t> parse_decimal(std::string_view text, std::uint32_t max);

// Letters, digits, "-" and "." only, 1..253 bytes, not starting or ending with ".".
bool is_valid_host_name(std::string_view host);

// A name that is safe both as a network interface name and inside the UAPI socket path:
// 1..15 bytes of letters, digits and "_=+.-", never "." or "..".
bool is_valid_interface_name(std::string_view name);

}  // namespace velnaro::wglinux
