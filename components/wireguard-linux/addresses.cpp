#include "addresses.hpp"

#include <array>

namespace velnaro::wglinux {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::optional<std::uint32_t> parse_address(std::string_view text) {
    if (text.size() > 15) {
        return std::nullopt;
    }
    std::uint32_t address = 0;
    int parts = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find('.', start);
        const std::string_view part = text.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) {
            return std::nullopt;
        }
        const auto value = parse_decimal(part, 255);
        if (!value || ++parts > 4) {
            return std::nullopt;
        }
        address = (address << 8) | *value;
        if (dot == std::string_view::npos) {
            break;
        }
        start = dot + 1;
    }
    if (parts != 4) {
        return std::nullopt;
    }
    return address;
}

std::optional<std::uint8_t> parse_prefix(std::string_view text) {
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    // Leading zeros are allowed, so the length alone says nothing; stop as soon as the
    // value passes 32 so that no amount of digits can overflow.
    std::uint32_t value = 0;
    for (char c : text) {
        if (!is_digit(c)) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 32) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint8_t>(value);
}

}  // namespace

std::uint32_t Ipv4Cidr::network() const {
    const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
    return address & mask;
}

std::string ipv4_text(std::uint32_t address) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        text += std::to_string((address >> shift) & 0xFF);
        if (shift > 0) {
            text += '.';
        }
    }
    return text;
}

std::string Ipv4Cidr::text() const {
    return ipv4_text(address) + "/" + std::to_string(prefix);
}

std::string Ipv4Cidr::network_text() const {
    return ipv4_text(network()) + "/" + std::to_string(prefix);
}

std::optional<Ipv4Cidr> parse_ipv4_cidr(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto address = parse_address(text.substr(0, slash));
    const auto prefix = parse_prefix(text.substr(slash + 1));
    if (!address || !prefix) {
        return std::nullopt;
    }
    return Ipv4Cidr{*address, *prefix};
}

std::optional<std::uint32_t> parse_decimal(std::string_view text, std::uint32_t max) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (!is_digit(c)) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > max) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool is_valid_host_name(std::string_view host) {
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.back() == '.') {
        return false;
    }
    for (char c : host) {
        if (!is_letter(c) && !is_digit(c) && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

bool is_valid_interface_name(std::string_view name) {
    if (name.empty() || name.size() > 15 || name == "." || name == "..") {
        return false;
    }
    constexpr std::string_view kExtra = "_=+.-";
    for (char c : name) {
        if (!is_letter(c) && !is_digit(c) && kExtra.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace velnaro::wglinux
