#pragma once

#include <cstdint>
#include <string>

#include "core/secret_buffer.hpp"
#include "core/uuid.hpp"

namespace velnaro {

// The non-secret part of the device identity, as clients and metadata.json see it.
struct PublicIdentity {
    std::string installation_id;  // 36 lower-case hyphenated characters
    std::string public_key;       // standard base64, 44 characters
    std::uint32_t key_version = 0;

    bool operator==(const PublicIdentity&) const = default;
};

// The whole identity; the private key is wiped when the record is destroyed.
struct DeviceIdentity {
    Uuid installation_id{};
    std::string public_key;
    std::uint32_t key_version = 0;
    SecretArray<32> private_key;
};

inline PublicIdentity public_identity_of(const DeviceIdentity& identity) {
    return {uuid_to_text(identity.installation_id), identity.public_key, identity.key_version};
}

}  // namespace velnaro
