#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/joined_text.hpp"
#include "core/owned.hpp"
#include "core/failure.hpp"
#include "core/secret_buffer.hpp"
#include "core/version.hpp"
#include "wireguard/adapter_block.hpp"
#include "wireguard/components.hpp"

namespace velnaro {

inline constexpr const char16_t* kTunnelAdapterName = kWideText<kTunnelName>.data();

// An adapter handle of the WireGuard library, closed with the library's own entry point on
// every path out.
struct AdapterPolicy {
    using Value = WireGuardAdapterHandle;
    WireGuardCloseAdapterFn close_adapter = nullptr;
    static WireGuardAdapterHandle invalid() noexcept { return nullptr; }
    static bool is_valid(WireGuardAdapterHandle handle) noexcept { return handle != nullptr; }
    void close(WireGuardAdapterHandle handle) noexcept { close_adapter(handle); }
};
using OpenAdapter = Owned<AdapterPolicy>;

// The tunnel's adapter, or an invalid handle when it is not there (yet).
inline OpenAdapter open_tunnel_adapter(const wireguard::WireGuardComponents& components) {
    return OpenAdapter(components.open_adapter(kTunnelAdapterName),
                       AdapterPolicy{components.close_adapter});
}

// 8-byte elements give the buffer both its rounding to a multiple of 8 and its alignment;
// the wiping allocator clears it before release because the block holds the private key.
using ConfigurationBuffer = std::vector<std::uint64_t, WipingAllocator<std::uint64_t>>;

struct ConfigurationBlock {
    ConfigurationBuffer buffer;
    std::uint32_t size = 0;  // what the library reported; the buffer may be longer

    std::span<const std::uint8_t> bytes() const {
        return {reinterpret_cast<const std::uint8_t*>(buffer.data()),
                buffer.size() * sizeof(std::uint64_t)};
    }
};

// The adapter's configuration block: the size probed first, then read.
Outcome<ConfigurationBlock> read_configuration_block(
    const wireguard::WireGuardComponents& components, WireGuardAdapterHandle adapter);

}  // namespace velnaro
