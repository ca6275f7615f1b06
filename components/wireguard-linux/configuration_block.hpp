#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

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

}  // namespace velnaro::wglinux
