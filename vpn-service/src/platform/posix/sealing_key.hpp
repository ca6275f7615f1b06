#pragma once

#include "core/secret_buffer.hpp"
#include "platform/posix/sealing.hpp"

namespace velnaro::platform {

inline constexpr std::size_t kSealingKeySize = 32;
using SealingKey = SecretArray<kSealingKeySize>;

// False when libsodium cannot be initialised; the check runs the initialisation once.
bool sodium_ready();

// The account's sealing key on this machine: the account's secret file (created on first
// use) hashed together with the machine id and the account's uid.
OsResult<void> derive_sealing_key(const SealingKeyLocation& location, SealingKey& key);

}  // namespace velnaro::platform
