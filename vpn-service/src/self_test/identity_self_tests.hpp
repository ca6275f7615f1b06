#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/failure.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

struct IdentitySelfTestResult {
    bool success = false;
    bool stable_after_reload = false;
    std::optional<std::uint32_t> key_version;
    std::optional<Failure> failure;

    bool operator==(const IdentitySelfTestResult&) const = default;
};

// Builds an identity from a fresh key pair and takes it through encoding, sealing, opening
// and decoding in memory; nothing touches the disk.
Outcome<void> identity_crypto_self_test(Runtime& runtime);

// Runs ensure twice in the live data directory and checks that both runs agree. Leaves the
// directory as it found it: see the clean-up rule in the implementation.
IdentitySelfTestResult identity_self_test(Runtime& runtime);

// Compact JSON with the members in their fixed order; nothing when it cannot be written.
std::optional<std::string> identity_self_test_json(const IdentitySelfTestResult& result);

}  // namespace velnaro
