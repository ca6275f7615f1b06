#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/secret_buffer.hpp"
#include "uapi_text.hpp"
#include "wireguard/adapter_block.hpp"

namespace velnaro::wglinux {

// The block itself is laid out as wireguard/adapter_block.hpp describes.

// 100-ns units since 1601 for a Unix time; 0 when there was no handshake (both parts 0)
// and for times before 1970, which a handshake cannot have.
std::uint64_t to_windows_file_time(std::int64_t unix_seconds, std::int64_t nanoseconds);

// Nothing when the block would not fit the 32-bit byte count of the entry point.
std::optional<SecretBuffer> build_configuration_block(const UapiDevice& device);

// What WireGuardSetConfiguration is asked for, in the one form this stand-in carries out:
// no interface field and no replacement of peers, and for each peer only its endpoint, to an
// existing peer (public key, endpoint and update-only flags, nothing else).
struct EndpointChange {
    std::array<std::uint8_t, kKeySize> public_key{};
    std::uint32_t address = 0;  // IPv4, host byte order
    std::uint16_t port = 0;
};

// Nothing for a block of any other form, or one that does not fit `bytes`. Pure: safe to fuzz.
std::optional<std::vector<EndpointChange>> read_endpoint_changes(const std::uint8_t* block,
                                                                 std::uint32_t bytes);

}  // namespace velnaro::wglinux
