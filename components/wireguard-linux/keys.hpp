#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/secret_buffer.hpp"

namespace velnaro::wglinux {

// Fills `private_key` with a fresh clamped X25519 scalar and `public_key` with its public
// point. On failure both are left all zero and false is returned.
bool generate_x25519_keypair(std::span<std::uint8_t, 32> public_key,
                             std::span<std::uint8_t, 32> private_key);

bool derive_public_key(std::span<const std::uint8_t, 32> private_key,
                       std::span<std::uint8_t, 32> public_key);

// Lower-case hex, the form the UAPI speaks.
void append_hex(SecretBuffer& out, std::span<const std::uint8_t> bytes);
// Exactly 2 * out.size() hex digits of either case.
bool decode_hex(std::string_view text, std::span<std::uint8_t> out);

}  // namespace velnaro::wglinux
