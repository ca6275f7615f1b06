#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "core/secret_buffer.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

struct KeyPair {
    std::array<std::uint8_t, 32> public_key{};
    SecretArray<32> private_key;
};

// The canonical "vpn" directory beside the running executable.
Outcome<std::string> resolve_component_directory(platform::Platform& platform);
Outcome<KeyPair> generate_keypair(Runtime& runtime, std::string_view component_directory);

}  // namespace velnaro
