#pragma once

#include <cstdint>
#include <span>

#include "core/failure.hpp"
#include "core/secret_buffer.hpp"
#include "identity/device_identity.hpp"

namespace velnaro {

inline constexpr std::size_t kIdentityPayloadSize = 92;

// The 92-byte plaintext that is sealed into an identity file.
Outcome<SecretBuffer> encode_identity_payload(const DeviceIdentity& identity);
Outcome<DeviceIdentity> decode_identity_payload(std::span<const std::uint8_t> payload);

// Same installation, the next key version (saturating at the largest one), another key.
bool is_valid_successor(const DeviceIdentity& current, const DeviceIdentity& pending);

// Same installation ID, public key and key version (the private key is not compared).
bool same_public_identity(const DeviceIdentity& a, const DeviceIdentity& b);

}  // namespace velnaro
