#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/base64.hpp"
#include "identity/identity_file.hpp"
#include "platform/paths.hpp"
#include "tunnel_config/config_file.hpp"

namespace velnaro {
namespace {

// The text's first line; a file that does not begin with it is not ours.
constexpr std::string_view kInterfaceHeader = "[Interface]";
// The other line heads, written by compose_text and read back by read_back_tunnel_config.
constexpr std::string_view kPrivateKeyHead = "PrivateKey = ";
constexpr std::string_view kAddressHead = "Address = ";
constexpr std::string_view kPeerHeader = "[Peer]";
constexpr std::string_view kPublicKeyHead = "PublicKey = ";
constexpr std::string_view kEndpointHead = "Endpoint = ";
constexpr std::string_view kAllowedIpsHead = "AllowedIPs = ";
constexpr std::string_view kAllowedIpsSeparator = ", ";
constexpr std::string_view kKeepaliveHead = "PersistentKeepalive = ";

// Holds a typical configuration without growing, so no partial copy of the key is left
// behind in a released block (the allocator wipes it anyway).
constexpr std::size_t kTextReservation = 512;

void append_line(SecretBuffer& text, std::string_view head, std::string_view value = {}) {
    append_text(text, head);
    append_text(text, value);
    text.push_back('\n');
}

void append_allowed_ips(SecretBuffer& text, const std::vector<std::string>& allowed_ips) {
    append_text(text, kAllowedIpsHead);
    for (std::size_t i = 0; i < allowed_ips.size(); ++i) {
        if (i != 0)
            append_text(text, kAllowedIpsSeparator);
        append_text(text, allowed_ips[i]);
    }
    text.push_back('\n');
}

Outcome<SecretBuffer> compose_text(const TunnelConfig& config, const SecretBuffer& private_key) {
    try {
        SecretBuffer text;
        text.reserve(kTextReservation);
        append_line(text, kInterfaceHeader);
        append_line(text, kPrivateKeyHead, as_text(private_key));
        append_line(text, kAddressHead, config.address);
        append_line(text, "");
        append_line(text, kPeerHeader);
        append_line(text, kPublicKeyHead, config.gateway_public_key);
        append_text(text, kEndpointHead);
        append_text(text, config.endpoint_host);
        append_line(text, ":", std::to_string(config.endpoint_port));
        append_allowed_ips(text, config.allowed_ips);
        append_line(text, kKeepaliveHead, std::to_string(config.persistent_keepalive));
        return text;
    } catch (const std::bad_alloc&) {
        return fail(DetailCode::TUNNEL_CONFIG_BUILD_FAILED);
    } catch (const std::length_error&) {
        return fail(DetailCode::TUNNEL_CONFIG_BUILD_FAILED);
    }
}

// The value after `head` on line `index` of `lines`.
std::optional<std::string_view> value_of(const std::vector<std::string_view>& lines,
                                         std::size_t index, std::string_view head) {
    if (!lines[index].starts_with(head))
        return std::nullopt;
    return lines[index].substr(head.size());
}

// Decimal digits as the renderer writes numbers: no sign, no leading zero, at most 65535.
std::optional<std::uint16_t> read_number(std::string_view text) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text.front() == '0'))
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > 0xFFFF)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// Nine lines, each ended by a line feed, none left over.
std::optional<std::vector<std::string_view>> nine_lines(std::string_view text) {
    constexpr std::size_t kLineCount = 9;
    std::vector<std::string_view> lines;
    while (!text.empty() && lines.size() <= kLineCount) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return std::nullopt;
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    if (lines.size() != kLineCount || !text.empty())
        return std::nullopt;
    return lines;
}

bool read_endpoint(std::string_view text, TunnelConfig& config) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return false;
    const auto port = read_number(text.substr(colon + 1));
    if (!port)
        return false;
    config.endpoint_host = text.substr(0, colon);
    config.endpoint_port = *port;
    return true;
}

std::vector<std::string> read_allowed_ips(std::string_view text) {
    std::vector<std::string> entries;
    for (;;) {
        const std::size_t separator = text.find(kAllowedIpsSeparator);
        entries.emplace_back(text.substr(0, separator));
        if (separator == std::string_view::npos)
            return entries;
        text.remove_prefix(separator + kAllowedIpsSeparator.size());
    }
}

}  // namespace

std::optional<TunnelConfig> read_back_tunnel_config(std::string_view text) {
    const auto lines = nine_lines(text);
    if (!lines)
        return std::nullopt;
    const auto& l = *lines;
    if (l[0] != kInterfaceHeader || !l[3].empty() || l[4] != kPeerHeader ||
        !value_of(l, 1, kPrivateKeyHead)) {
        return std::nullopt;
    }
    const auto address = value_of(l, 2, kAddressHead);
    const auto peer_key = value_of(l, 5, kPublicKeyHead);
    const auto endpoint = value_of(l, 6, kEndpointHead);
    const auto allowed = value_of(l, 7, kAllowedIpsHead);
    const auto keepalive = value_of(l, 8, kKeepaliveHead);
    if (!address || !peer_key || !endpoint || !allowed || !keepalive)
        return std::nullopt;
    TunnelConfig config;
    config.config_version = 1;
    config.address = *address;
    config.gateway_public_key = *peer_key;
    const auto keepalive_value = read_number(*keepalive);
    if (!read_endpoint(*endpoint, config) || !keepalive_value)
        return std::nullopt;
    config.allowed_ips = read_allowed_ips(*allowed);
    config.persistent_keepalive = *keepalive_value;
    return config;
}

Outcome<void> check_stored_tunnel_config(std::string_view text) {
    const auto config = read_back_tunnel_config(text);
    if (!config || !validate_tunnel_config(*config))
        return fail(DetailCode::TUNNEL_CONFIG_STORED_INVALID);
    return {};
}

Outcome<SecretBuffer> render_tunnel_config_text(const DeviceIdentity& identity,
                                               const TunnelConfig& config) {
    if (auto valid = validate_tunnel_config(config); !valid)
        return fail(valid.error());
    const SecretBuffer private_key = encode_base64_secret(identity.private_key.span());
    return compose_text(config, private_key);
}

Outcome<void> check_tunnel_config_text(std::string_view text) {
    if (text.size() <= kInterfaceHeader.size() || !text.starts_with(kInterfaceHeader) ||
        text.find("PrivateKey =") == std::string_view::npos) {
        return fail(DetailCode::TUNNEL_CONFIG_CONTENT_INVALID);
    }
    return {};
}

}  // namespace velnaro
