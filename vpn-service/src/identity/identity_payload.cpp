#include "identity/identity_payload.hpp"

#include <algorithm>
#include <limits>
#include <string_view>

#include "core/base64.hpp"

namespace velnaro {
namespace {

constexpr std::string_view kMagic = "VLVPNID1";
constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kInstallationIdOffset = 12;
constexpr std::size_t kPublicKeyOffset = 28;
constexpr std::size_t kPrivateKeyOffset = 60;
constexpr std::size_t kKeySize = 32;

void put_u32_le(SecretBuffer& out, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t get_u32_le(std::span<const std::uint8_t> in, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(in[at + i]) << (8 * i);
    }
    return value;
}

}  // namespace

Outcome<SecretBuffer> encode_identity_payload(const DeviceIdentity& identity) {
    const auto public_key = decode_base64_canonical(identity.public_key);
    if (!public_key)
        return fail(DetailCode::IDENTITY_PUBLIC_KEY_INVALID);
    if (public_key->size() != kKeySize || identity.key_version == 0) {
        return fail(DetailCode::IDENTITY_PAYLOAD_INVALID);
    }
    SecretBuffer payload(kIdentityPayloadSize, 0);
    std::ranges::copy(kMagic, payload.begin());
    put_u32_le(payload, kVersionOffset, identity.key_version);
    std::ranges::copy(identity.installation_id, payload.begin() + kInstallationIdOffset);
    std::ranges::copy(*public_key, payload.begin() + kPublicKeyOffset);
    std::ranges::copy(identity.private_key.span(), payload.begin() + kPrivateKeyOffset);
    return payload;
}

Outcome<DeviceIdentity> decode_identity_payload(std::span<const std::uint8_t> payload) {
    if (payload.size() != kIdentityPayloadSize ||
        !std::ranges::equal(payload.first(kMagic.size()), kMagic)) {
        return fail(DetailCode::LOCAL_IDENTITY_CORRUPT);
    }
    const auto public_key = payload.subspan(kPublicKeyOffset, kKeySize);
    const auto private_key = payload.subspan(kPrivateKeyOffset, kKeySize);
    const std::uint32_t key_version = get_u32_le(payload, kVersionOffset);
    if (key_version == 0 || is_all_zero(public_key) || is_all_zero(private_key)) {
        return fail(DetailCode::LOCAL_IDENTITY_CORRUPT);
    }
    DeviceIdentity identity;
    std::ranges::copy(payload.subspan(kInstallationIdOffset, 16), identity.installation_id.begin());
    identity.public_key = encode_base64(public_key);
    identity.key_version = key_version;
    std::ranges::copy(private_key, identity.private_key.data());
    return identity;
}

bool is_valid_successor(const DeviceIdentity& current, const DeviceIdentity& pending) {
    constexpr std::uint32_t kLast = std::numeric_limits<std::uint32_t>::max();
    const std::uint32_t expected_version =
        current.key_version == kLast ? kLast : current.key_version + 1;
    return pending.installation_id == current.installation_id &&
           pending.key_version == expected_version && pending.public_key != current.public_key;
}

bool same_public_identity(const DeviceIdentity& a, const DeviceIdentity& b) {
    return a.installation_id == b.installation_id && a.public_key == b.public_key &&
           a.key_version == b.key_version;
}

}  // namespace velnaro
