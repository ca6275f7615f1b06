#include "core/uuid.hpp"

namespace velnaro {
namespace {

constexpr bool is_hyphen_position(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

Uuid make_uuid_v4(std::array<std::uint8_t, 16> random_bytes) {
    random_bytes[6] = static_cast<std::uint8_t>((random_bytes[6] & 0x0F) | 0x40);
    random_bytes[8] = static_cast<std::uint8_t>((random_bytes[8] & 0x3F) | 0x80);
    return random_bytes;
}

std::string uuid_to_text(const Uuid& uuid) {
    constexpr std::string_view digits = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(digits[uuid[i] >> 4]);
        text.push_back(digits[uuid[i] & 0x0F]);
    }
    return text;
}

std::optional<Uuid> parse_uuid_text(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    Uuid uuid{};
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_hyphen_position(i)) {
            if (text[i] != '-') return std::nullopt;
            continue;
        }
        const int v = hex_value(text[i]);
        if (v < 0) return std::nullopt;
        uuid[nibble / 2] = static_cast<std::uint8_t>(uuid[nibble / 2] | (nibble % 2 == 0 ? v << 4 : v));
        ++nibble;
    }
    return uuid;
}

}  // namespace velnaro
