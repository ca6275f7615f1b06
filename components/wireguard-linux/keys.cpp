#include "keys.hpp"

#include <sodium.h>

namespace velnaro::wglinux {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool generate_x25519_keypair(std::span<std::uint8_t, 32> public_key,
                             std::span<std::uint8_t, 32> private_key) {
    if (sodium_init() < 0) {
        return false;
    }
    randombytes_buf(private_key.data(), private_key.size());
    private_key[0] &= 248;
    private_key[31] &= 127;
    private_key[31] |= 64;
    if (!derive_public_key(private_key, public_key)) {
        sodium_memzero(private_key.data(), private_key.size());
        sodium_memzero(public_key.data(), public_key.size());
        return false;
    }
    return true;
}

bool derive_public_key(std::span<const std::uint8_t, 32> private_key,
                       std::span<std::uint8_t, 32> public_key) {
    static_assert(crypto_scalarmult_BYTES == 32 && crypto_scalarmult_SCALARBYTES == 32);
    if (sodium_init() < 0) {
        return false;
    }
    return crypto_scalarmult_base(public_key.data(), private_key.data()) == 0;
}

void append_hex(SecretBuffer& out, std::span<const std::uint8_t> bytes) {
    constexpr char kDigits[] = "0123456789abcdef";
    for (std::uint8_t byte : bytes) {
        out.push_back(static_cast<std::uint8_t>(kDigits[byte >> 4]));
        out.push_back(static_cast<std::uint8_t>(kDigits[byte & 0x0F]));
    }
}

bool decode_hex(std::string_view text, std::span<std::uint8_t> out) {
    if (text.size() != out.size() * 2) {
        return false;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = hex_value(text[2 * i]);
        const int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            sodium_memzero(out.data(), out.size());
            return false;
        }
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace velnaro::wglinux
