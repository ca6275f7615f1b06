#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "core/version.hpp"
#include "core/secret_buffer.hpp"
#include "platform/platform.hpp"

namespace velnaro {

inline constexpr std::string_view kIdentityDescription = "Velnaro VPN device identity";
inline constexpr std::string_view kTunnelDescription = kTunnelName;

// Seals 1..4096 bytes under a description of 1..128 UTF-8 bytes.
Outcome<std::vector<std::uint8_t>> seal_secret(platform::Platform& platform,
                                              std::span<const std::uint8_t> secret,
                                              std::string_view description);
// Opens a blob of 1..16384 bytes; the description inside must equal `expected_description`.
Outcome<SecretBuffer> open_sealed_secret(platform::Platform& platform,
                                        std::span<const std::uint8_t> blob,
                                        std::string_view expected_description);
Outcome<void> sealing_self_test(platform::Platform& platform);

}  // namespace velnaro
