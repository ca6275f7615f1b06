#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/detail_code.hpp"
#include "tunnel_config/tunnel_config.hpp"

namespace velnaro {

// Every member of a tunnel configuration is described once, here: its JSON name, where it is
// held, what it must be, the code that refuses it, where it stands in the WireGuard text and
// the rule in words. The payload reader, validate_tunnel_config, the tunnel text's writer and
// reader, and vpnctl's check before sending all walk this table, so a new member of a kind
// already known is one row here and one member of TunnelConfig (and its refusal's code in
// core/detail_code.hpp, when it has a code of its own).
//
// The table lives here, with the model, because everything that walks it sits at or above
// this folder: protocol and vpnctl see tunnel_config, never the other way round.

// Where a member is held; its type is the member's JSON type and width (a 64- or 16-bit
// whole number, a string, an array of strings).
using ConfigTarget =
    std::variant<std::uint64_t TunnelConfig::*, std::uint16_t TunnelConfig::*,
                 std::string TunnelConfig::*, std::vector<std::string> TunnelConfig::*>;

// What a value must be to be accepted.
struct ValueRule {
    enum class Kind : std::uint8_t {
        whole_number,  // a number from `low` to `high`
        private_cidr,  // is_private_ipv4_cidr
        key_text,      // base64 letters and "=", `low` to `high` characters
        host_name,     // letters, digits, "-" and ".", neither first nor last a ".",
                       // `low` to `high` characters
        network_list,  // `low` to `high` private networks, none a default route
    };
    Kind kind = Kind::whole_number;
    std::uint64_t low = 0;
    std::uint64_t high = 0;
};

constexpr ValueRule whole_number(std::uint64_t low, std::uint64_t high) {
    return {ValueRule::Kind::whole_number, low, high};
}
constexpr ValueRule private_cidr() {
    return {ValueRule::Kind::private_cidr, 0, 0};
}
constexpr ValueRule key_text(std::uint64_t length) {
    return {ValueRule::Kind::key_text, length, length};
}
constexpr ValueRule host_name(std::uint64_t max_length) {
    return {ValueRule::Kind::host_name, 1, max_length};
}
constexpr ValueRule network_list(std::uint64_t low, std::uint64_t high) {
    return {ValueRule::Kind::network_list, low, high};
}

// Where a value stands in the WireGuard text: nowhere, on a line of its own in the
// [Interface] or the [Peer] section after `head`, or after `head` at the end of the line of
// the member before it.
struct TextPlace {
    enum class Kind : std::uint8_t { not_written, interface_line, peer_line, line_before };
    Kind kind = Kind::not_written;
    std::string_view head;
};

constexpr TextPlace not_written() {
    return {};
}
constexpr TextPlace interface_line(std::string_view head) {
    return {TextPlace::Kind::interface_line, head};
}
constexpr TextPlace peer_line(std::string_view head) {
    return {TextPlace::Kind::peer_line, head};
}
constexpr TextPlace on_line_before(std::string_view head) {
    return {TextPlace::Kind::line_before, head};
}

struct ConfigField {
    std::string_view json_name;
    ConfigTarget target;
    ValueRule rule;
    DetailCode refusal;
    TextPlace text;
    std::string_view rule_text;  // how vpnctl words the rule
};

inline constexpr std::uint64_t kAnyWholeNumber = std::numeric_limits<std::uint64_t>::max();

// In wire order, which is also the order in which the values are judged: when several are
// wrong, the first row's refusal is the answer.
inline constexpr std::array kConfigFields{
    ConfigField{"configVersion", &TunnelConfig::config_version, whole_number(1, kAnyWholeNumber),
                DetailCode::CONFIG_VERSION_INVALID, not_written(), "must be 1 or more"},
    ConfigField{"address", &TunnelConfig::address, private_cidr(), DetailCode::ADDRESS_INVALID,
                interface_line("Address = "),
                "must be a private IPv4 address with its prefix, such as 10.250.10.21/32"},
    ConfigField{"gatewayPublicKey", &TunnelConfig::gateway_public_key, key_text(44),
                DetailCode::GATEWAY_PUBLIC_KEY_INVALID, peer_line("PublicKey = "),
                "must be a base64 key of 44 characters"},
    ConfigField{"endpointHost", &TunnelConfig::endpoint_host, host_name(253),
                DetailCode::ENDPOINT_INVALID, peer_line("Endpoint = "),
                "must be a host name or IPv4 address (letters, digits, '-' and '.')"},
    ConfigField{"endpointPort", &TunnelConfig::endpoint_port, whole_number(1, 65535),
                DetailCode::ENDPOINT_INVALID, on_line_before(":"), "must be 1 to 65535"},
    ConfigField{"allowedIps", &TunnelConfig::allowed_ips, network_list(1, 16),
                DetailCode::ALLOWED_IPS_INVALID, peer_line("AllowedIPs = "),
                "must hold 1 to 16 private IPv4 networks, such as 10.250.0.0/16, and no "
                "default route"},
    ConfigField{"persistentKeepalive", &TunnelConfig::persistent_keepalive, whole_number(5, 300),
                DetailCode::KEEPALIVE_INVALID, peer_line("PersistentKeepalive = "),
                "must be 5 to 300 seconds"},
};

// The row of a JSON name spelt exactly, or nothing.
constexpr const ConfigField* config_field_named(std::string_view json_name) {
    for (const ConfigField& field : kConfigFields) {
        if (field.json_name == json_name)
            return &field;
    }
    return nullptr;
}

// Whether the member of `field` holds a value its rule accepts.
bool is_valid_value(const ConfigField& field, const TunnelConfig& config);
// The first row, in the table's order, whose value is refused; nothing when all are valid.
const ConfigField* first_invalid_field(const TunnelConfig& config);

namespace config_fields_detail {

constexpr bool rule_fits_target(const ConfigField& field) {
    using Kind = ValueRule::Kind;
    switch (field.rule.kind) {
        case Kind::whole_number: {
            if (std::holds_alternative<std::uint16_t TunnelConfig::*>(field.target))
                return field.rule.high <= std::numeric_limits<std::uint16_t>::max();
            return std::holds_alternative<std::uint64_t TunnelConfig::*>(field.target);
        }
        case Kind::private_cidr:
        case Kind::key_text:
        case Kind::host_name:
            return std::holds_alternative<std::string TunnelConfig::*>(field.target);
        case Kind::network_list:
            return std::holds_alternative<std::vector<std::string> TunnelConfig::*>(field.target);
    }
    return false;
}

// Each rule fits its member's type, each name is unique, a value written on the line before
// has a line before it, and the reader's set of seen members fits in its bits.
constexpr bool table_holds_together() {
    if (kConfigFields.size() > 32)
        return false;
    for (std::size_t i = 0; i < kConfigFields.size(); ++i) {
        const ConfigField& field = kConfigFields[i];
        if (!rule_fits_target(field) || config_field_named(field.json_name) != &field)
            return false;
        if (field.text.kind == TextPlace::Kind::line_before &&
            (i == 0 || kConfigFields[i - 1].text.kind == TextPlace::Kind::not_written))
            return false;
    }
    return true;
}
static_assert(table_holds_together());

}  // namespace config_fields_detail

}  // namespace velnaro
