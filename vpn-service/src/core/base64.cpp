#include "core/base64.hpp"

#include <array>

namespace velnaro {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

template <class Out>
void encode_into(std::span<const std::uint8_t> bytes, Out& out) {
    out.reserve(((bytes.size() + 2) / 3) * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t v = bytes[i] << 16;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back('=');
        out.push_back('=');
    } else if (rest == 2) {
        const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back('=');
    }
}

}  // namespace

std::string encode_base64(std::span<const std::uint8_t> bytes) {
    std::string out;
    encode_into(bytes, out);
    return out;
}

SecretBuffer encode_base64_secret(std::span<const std::uint8_t> bytes) {
    SecretBuffer out;
    encode_into(bytes, out);
    return out;
}

std::optional<SecretBuffer> decode_base64_canonical(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    SecretBuffer out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::array<int, 4> s{};
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=') {
                // Padding only in the last group, only in its last two places, and
                // never followed by an alphabet character.
                if (!last || k < 2) return std::nullopt;
                ++padding;
                s[k] = 0;
                continue;
            }
            if (padding > 0) return std::nullopt;
            s[k] = sextet(c);
            if (s[k] < 0) return std::nullopt;
        }
        const std::uint32_t v = (s[0] << 18) | (s[1] << 12) | (s[2] << 6) | s[3];
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (padding == 2) {
            if ((v & 0xFFFF) != 0) return std::nullopt;
        } else if (padding == 1) {
            if ((v & 0xFF) != 0) return std::nullopt;
            out.push_back(static_cast<std::uint8_t>(v >> 8));
        } else {
            out.push_back(static_cast<std::uint8_t>(v >> 8));
            out.push_back(static_cast<std::uint8_t>(v));
        }
    }
    return out;
}

}  // namespace velnaro
