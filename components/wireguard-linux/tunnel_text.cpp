#include "tunnel_text.hpp"

#include <algorithm>

#include "core/base64.hpp"

namespace velnaro::wglinux {
namespace {

constexpr std::size_t kLineCount = 9;

// Splits on line feeds; the text must end with one, and no line may be left over.
std::optional<std::vector<std::string_view>> split_lines(std::string_view text) {
    if (text.empty() || text.back() != '\n') {
        return std::nullopt;
    }
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (lines.size() > kLineCount) {
            return std::nullopt;
        }
        start = end + 1;
    }
    if (lines.size() != kLineCount) {
        return std::nullopt;
    }
    return lines;
}

std::optional<std::string_view> value_after(std::string_view line, std::string_view prefix) {
    if (!line.starts_with(prefix)) {
        return std::nullopt;
    }
    return line.substr(prefix.size());
}

bool read_key(std::string_view text, std::uint8_t* out) {
    if (text.size() != 44) {
        return false;
    }
    const auto bytes = decode_base64_canonical(text);
    if (!bytes || bytes->size() != kKeySize) {
        return false;
    }
    std::copy(bytes->begin(), bytes->end(), out);
    return true;
}

bool read_endpoint(std::string_view text, TunnelSettings& settings) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string_view host = text.substr(0, colon);
    const auto port = parse_decimal(text.substr(colon + 1), 65535);
    if (!is_valid_host_name(host) || !port || *port == 0) {
        return false;
    }
    settings.endpoint_host = host;
    settings.endpoint_port = static_cast<std::uint16_t>(*port);
    return true;
}

bool read_allowed_networks(std::string_view text, std::vector<Ipv4Cidr>& out) {
    constexpr std::string_view kSeparator = ", ";
    while (true) {
        const std::size_t separator = text.find(kSeparator);
        const auto network = parse_ipv4_cidr(text.substr(0, separator));
        if (!network || out.size() == kMaxAllowedNetworks) {
            return false;
        }
        out.push_back(*network);
        if (separator == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(separator + kSeparator.size());
    }
}

}  // namespace

std::optional<TunnelSettings> parse_tunnel_text(std::string_view text) {
    const auto lines = split_lines(text);
    if (!lines) {
        return std::nullopt;
    }
    const auto& l = *lines;
    if (l[0] != "[Interface]" || !l[3].empty() || l[4] != "[Peer]") {
        return std::nullopt;
    }
    TunnelSettings settings;
    const auto private_key = value_after(l[1], "PrivateKey = ");
    if (!private_key || !read_key(*private_key, settings.private_key.data())) {
        return std::nullopt;
    }
    const auto address = value_after(l[2], "Address = ");
    const auto address_value = address ? parse_ipv4_cidr(*address) : std::nullopt;
    if (!address_value) {
        return std::nullopt;
    }
    settings.address = *address_value;
    const auto public_key = value_after(l[5], "PublicKey = ");
    if (!public_key || !read_key(*public_key, settings.peer_public_key.data())) {
        return std::nullopt;
    }
    const auto endpoint = value_after(l[6], "Endpoint = ");
    if (!endpoint || !read_endpoint(*endpoint, settings)) {
        return std::nullopt;
    }
    const auto allowed = value_after(l[7], "AllowedIPs = ");
    if (!allowed || !read_allowed_networks(*allowed, settings.allowed_networks)) {
        return std::nullopt;
    }
    const auto keepalive = value_after(l[8], "PersistentKeepalive = ");
    const auto keepalive_value = keepalive ? parse_decimal(*keepalive, 65535) : std::nullopt;
    if (!keepalive_value) {
        return std::nullopt;
    }
    settings.persistent_keepalive = static_cast<std::uint16_t>(*keepalive_value);
    return settings;
}

}  // namespace velnaro::wglinux
