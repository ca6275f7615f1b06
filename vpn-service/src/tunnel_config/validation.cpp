#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tunnel_config/config_fields.hpp"
#include "tunnel_config/tunnel_config.hpp"

namespace velnaro {
namespace {

constexpr std::size_t kMaxAddressLength = 15;
constexpr std::uint8_t kMaxPrefixLength = 32;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Digits only, read as a number that must fit in a byte; leading zeros are the caller's call.
std::optional<std::uint8_t> parse_byte_digits(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : text) {
        if (!is_digit(c)) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 255) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint8_t>(value);
}

// A prefix length: an optional "+", then digits read as an 8-bit number that must not
// overflow; leading zeros are allowed.
std::optional<std::uint8_t> parse_prefix_length(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    return parse_byte_digits(text);
}

// One part of a dotted address: one to three digits, at most 255, no leading zero.
std::optional<std::uint8_t> parse_address_part(std::string_view text) {
    if (text.size() > 3 || (text.size() > 1 && text.front() == '0')) {
        return std::nullopt;
    }
    return parse_byte_digits(text);
}

std::optional<std::array<std::uint8_t, 4>> parse_ipv4_address(std::string_view text) {
    if (text.size() > kMaxAddressLength) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 4> parts{};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::size_t dot = text.find('.');
        const bool last = i + 1 == parts.size();
        if (last != (dot == std::string_view::npos)) {
            return std::nullopt;
        }
        const std::optional<std::uint8_t> part = parse_address_part(text.substr(0, dot));
        if (!part) {
            return std::nullopt;
        }
        parts[i] = *part;
        text.remove_prefix(last ? text.size() : dot + 1);
    }
    return parts;
}

// The length of the private block that holds `address` (10/8, 172.16/12, 192.168/16), or
// nothing for a public address. A network is private only when its prefix is at least this
// long: with a shorter one its network (host bits cleared) reaches outside the block, so
// "10.0.0.0/1" would route half of the Internet and "10.0.0.0/0" all of it.
std::optional<std::uint8_t> private_block_prefix(const std::array<std::uint8_t, 4>& address) {
    if (address[0] == 10)
        return 8;
    if (address[0] == 172 && address[1] >= 16 && address[1] <= 31)
        return 12;
    if (address[0] == 192 && address[1] == 168)
        return 16;
    return std::nullopt;
}

bool is_length_within(std::string_view text, const ValueRule& rule) {
    return text.size() >= rule.low && text.size() <= rule.high;
}

bool is_key_text(std::string_view key, const ValueRule& rule) {
    if (!is_length_within(key, rule)) {
        return false;
    }
    for (char c : key) {
        if (!is_ascii_letter(c) && !is_digit(c) && c != '+' && c != '/' && c != '=') {
            return false;
        }
    }
    return true;
}

bool is_host_name(std::string_view host, const ValueRule& rule) {
    if (!is_length_within(host, rule) || host.empty() || host.front() == '.' ||
        host.back() == '.') {
        return false;
    }
    for (char c : host) {
        if (!is_ascii_letter(c) && !is_digit(c) && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

bool is_allowed_network(std::string_view network) {
    return network != "::/0" && network != "0.0.0.0/0" && is_private_ipv4_cidr(network);
}

bool is_network_list(const std::vector<std::string>& networks, const ValueRule& rule) {
    if (networks.size() < rule.low || networks.size() > rule.high) {
        return false;
    }
    for (const std::string& network : networks) {
        if (!is_allowed_network(network)) {
            return false;
        }
    }
    return true;
}

bool is_valid_text(std::string_view text, const ValueRule& rule) {
    switch (rule.kind) {
        case ValueRule::Kind::private_cidr:
            return is_private_ipv4_cidr(text);
        case ValueRule::Kind::key_text:
            return is_key_text(text, rule);
        case ValueRule::Kind::host_name:
            return is_host_name(text, rule);
        default:
            return false;
    }
}

// One overload per type a member can have; the table's static check pairs rules with types.
struct ValueCheck {
    const ValueRule& rule;
    bool operator()(std::uint64_t value) const { return value >= rule.low && value <= rule.high; }
    bool operator()(const std::string& text) const { return is_valid_text(text, rule); }
    bool operator()(const std::vector<std::string>& list) const {
        return is_network_list(list, rule);
    }
};

}  // namespace

bool is_private_ipv4_cidr(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) {
        return false;
    }
    const std::optional<std::uint8_t> prefix = parse_prefix_length(text.substr(slash + 1));
    if (!prefix || *prefix > kMaxPrefixLength) {
        return false;
    }
    const auto address = parse_ipv4_address(text.substr(0, slash));
    if (!address)
        return false;
    const std::optional<std::uint8_t> block = private_block_prefix(*address);
    return block && *prefix >= *block;
}

std::optional<std::string> network_of_cidr(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    const std::optional<std::uint8_t> prefix = parse_prefix_length(text.substr(slash + 1));
    const auto address = parse_ipv4_address(text.substr(0, slash));
    if (!prefix || *prefix > 32 || !address)
        return std::nullopt;
    std::uint32_t value = 0;
    for (const std::uint8_t part : *address)
        value = value << 8 | part;
    if (*prefix < 32)
        value &= *prefix == 0 ? 0 : ~(0xFFFFFFFFu >> *prefix);
    std::string network;
    for (int shift = 24; shift >= 0; shift -= 8)
        network += std::to_string((value >> shift) & 0xFF) + (shift > 0 ? "." : "");
    return network + "/" + std::to_string(*prefix);
}

bool is_valid_value(const ConfigField& field, const TunnelConfig& config) {
    const ValueCheck check{field.rule};
    return std::visit([&](auto member) { return check(config.*member); }, field.target);
}

const ConfigField* first_invalid_field(const TunnelConfig& config) {
    for (const ConfigField& field : kConfigFields) {
        if (!is_valid_value(field, config))
            return &field;
    }
    return nullptr;
}

Outcome<void> validate_tunnel_config(const TunnelConfig& config) {
    if (const ConfigField* refused = first_invalid_field(config))
        return fail(refused->refusal);
    return {};
}

}  // namespace velnaro
