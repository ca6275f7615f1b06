#include "uapi_text.hpp"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>
#include <string>

#include "keys.hpp"

namespace velnaro::wglinux {
namespace {

template <class T>
bool parse_unsigned(std::string_view text, T& out) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc{} && end == text.data() + text.size();
}

bool parse_signed(std::string_view text, std::int64_t& out) {
    if (text.empty()) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc{} && end == text.data() + text.size();
}

// inet_pton needs a terminated string; every address text fits in 64 bytes.
bool parse_ip(std::string_view text, AddressFamily& family, std::array<std::uint8_t, 16>& out) {
    char buffer[64];
    if (text.empty() || text.size() >= sizeof buffer) {
        return false;
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    out.fill(0);
    if (text.find(':') == std::string_view::npos) {
        family = AddressFamily::ipv4;
        return inet_pton(AF_INET, buffer, out.data()) == 1;
    }
    family = AddressFamily::ipv6;
    return inet_pton(AF_INET6, buffer, out.data()) == 1;
}

// "1.2.3.4:51820" or "[fe80::1%3]:51820" (the scope as a number).
std::optional<UapiEndpoint> parse_endpoint(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    UapiEndpoint endpoint;
    if (!parse_unsigned(text.substr(colon + 1), endpoint.port)) {
        return std::nullopt;
    }
    std::string_view host = text.substr(0, colon);
    if (host.starts_with('[')) {
        if (!host.ends_with(']')) {
            return std::nullopt;
        }
        host = host.substr(1, host.size() - 2);
        const std::size_t percent = host.find('%');
        if (percent != std::string_view::npos) {
            if (!parse_unsigned(host.substr(percent + 1), endpoint.scope_id)) {
                return std::nullopt;
            }
            host = host.substr(0, percent);
        }
        if (!parse_ip(host, endpoint.family, endpoint.address) ||
            endpoint.family != AddressFamily::ipv6) {
            return std::nullopt;
        }
        return endpoint;
    }
    if (!parse_ip(host, endpoint.family, endpoint.address) ||
        endpoint.family != AddressFamily::ipv4) {
        return std::nullopt;
    }
    return endpoint;
}

std::optional<UapiAllowedIp> parse_allowed_ip(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    UapiAllowedIp allowed;
    if (!parse_ip(text.substr(0, slash), allowed.family, allowed.address)) {
        return std::nullopt;
    }
    const std::string_view cidr = text.substr(slash + 1);
    const std::uint8_t limit = allowed.family == AddressFamily::ipv4 ? 32 : 128;
    if (!parse_unsigned(cidr, allowed.cidr)) {
        return std::nullopt;
    }
    if (allowed.cidr > limit) {
        return std::nullopt;
    }
    return allowed;
}

bool apply_interface_key(UapiDevice& device, std::string_view key, std::string_view value) {
    if (key == "private_key") {
        device.has_private_key = decode_hex(value, device.private_key.span());
        return device.has_private_key;
    }
    if (key == "listen_port") {
        return parse_unsigned(value, device.listen_port);
    }
    if (key == "fwmark") {
        return parse_unsigned(value, device.fwmark);
    }
    return true;
}

bool apply_peer_key(UapiPeer& peer, std::string_view key, std::string_view value) {
    if (key == "preshared_key") {
        peer.has_preshared_key = decode_hex(value, peer.preshared_key.span());
        return peer.has_preshared_key;
    }
    if (key == "endpoint") {
        peer.endpoint = parse_endpoint(value);
        return peer.endpoint.has_value();
    }
    if (key == "persistent_keepalive_interval") {
        return parse_unsigned(value, peer.persistent_keepalive);
    }
    if (key == "tx_bytes") {
        return parse_unsigned(value, peer.tx_bytes);
    }
    if (key == "rx_bytes") {
        return parse_unsigned(value, peer.rx_bytes);
    }
    if (key == "last_handshake_time_sec") {
        return parse_signed(value, peer.last_handshake_sec);
    }
    if (key == "last_handshake_time_nsec") {
        return parse_signed(value, peer.last_handshake_nsec);
    }
    if (key == "allowed_ip") {
        const auto allowed = parse_allowed_ip(value);
        if (!allowed) {
            return false;
        }
        peer.allowed_ips.push_back(*allowed);
        return true;
    }
    return true;
}

struct Line {
    std::string_view key;
    std::string_view value;
};

std::optional<Line> split_line(std::string_view line) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        return std::nullopt;
    }
    return Line{line.substr(0, equals), line.substr(equals + 1)};
}

}  // namespace

std::optional<UapiDevice> parse_uapi_get_response(std::string_view text) {
    UapiDevice device;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            return std::nullopt;  // the answer stopped before its errno line
        }
        const auto line = split_line(text.substr(start, end - start));
        start = end + 1;
        if (!line) {
            return std::nullopt;
        }
        if (line->key == "errno") {
            // Only a clean "errno=0" followed by the closing empty line ends the answer.
            if (line->value != "0" || text.substr(start) != "\n") {
                return std::nullopt;
            }
            return device;
        }
        bool accepted = false;
        if (line->key == "public_key") {
            UapiPeer& peer = device.peers.emplace_back();
            accepted = decode_hex(line->value, peer.public_key);
        } else if (device.peers.empty()) {
            accepted = apply_interface_key(device, line->key, line->value);
        } else {
            accepted = apply_peer_key(device.peers.back(), line->key, line->value);
        }
        if (!accepted) {
            return std::nullopt;
        }
    }
}

std::optional<std::uint32_t> parse_uapi_errno(std::string_view text) {
    constexpr std::string_view kPrefix = "errno=";
    constexpr std::string_view kEnd = "\n\n";
    if (!text.starts_with(kPrefix) || !text.ends_with(kEnd) ||
        text.size() < kPrefix.size() + kEnd.size()) {
        return std::nullopt;
    }
    const std::string_view number =
        text.substr(kPrefix.size(), text.size() - kPrefix.size() - kEnd.size());
    std::uint32_t value = 0;
    if (!parse_unsigned(number, value)) {
        return std::nullopt;
    }
    return value;
}

SecretBuffer build_uapi_set_request(const TunnelSettings& settings, std::uint32_t endpoint_ipv4,
                                    std::uint32_t socket_mark) {
    SecretBuffer request;
    request.reserve(512);
    append_text(request, "set=1\nprivate_key=");
    append_hex(request, settings.private_key.span());
    append_text(request, "\nlisten_port=0\nfwmark=" + std::to_string(socket_mark) +
                             "\nreplace_peers=true\npublic_key=");
    append_hex(request, settings.peer_public_key);
    append_text(request, "\nendpoint=" + ipv4_text(endpoint_ipv4) + ":" +
                             std::to_string(settings.endpoint_port));
    append_text(request,
                "\npersistent_keepalive_interval=" + std::to_string(settings.persistent_keepalive));
    append_text(request, "\nreplace_allowed_ips=true\n");
    for (const Ipv4Cidr& network : settings.allowed_networks) {
        append_text(request, "allowed_ip=" + network.network_text() + "\n");
    }
    append_text(request, "\n");
    return request;
}

SecretBuffer build_uapi_endpoint_request(std::span<const std::uint8_t, kKeySize> public_key,
                                         std::uint32_t endpoint_ipv4, std::uint16_t port) {
    SecretBuffer request;
    append_text(request, "set=1\npublic_key=");
    append_hex(request, public_key);
    append_text(request,
                "\nendpoint=" + ipv4_text(endpoint_ipv4) + ":" + std::to_string(port) + "\n\n");
    return request;
}

}  // namespace velnaro::wglinux
