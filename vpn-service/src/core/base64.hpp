#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/secret_buffer.hpp"

namespace velnaro {

// Standard alphabet with "=" padding.
std::string encode_base64(std::span<const std::uint8_t> bytes);

// Same text, into a buffer that is wiped on release (for private keys).
SecretBuffer encode_base64_secret(std::span<const std::uint8_t> bytes);

// Accepts only canonical text: complete padding, no white space, and zero unused low bits
// in the last character. The result is wiped on release.
std::optional<SecretBuffer> decode_base64_canonical(std::string_view text);

}  // namespace velnaro
