#include "wireguard/telemetry.hpp"

#include <limits>
#include <vector>

#include "core/file_time.hpp"
#include "core/owned.hpp"
#include "core/secret_buffer.hpp"
#include "wireguard/adapter_block.hpp"
#include "wireguard/components.hpp"

namespace velnaro {
namespace {

constexpr std::uint32_t kMinimumBlockSize = kInterfaceRecordSize;
constexpr std::uint32_t kMaximumBlockSize = 0x100000;
constexpr std::uint32_t kMaximumPeers = 64;

constexpr char16_t kAdapterName[] = u"VelnaroTunnel";

// Little-endian reads byte by byte: the block comes from another library and its records
// are not guaranteed to sit on natural boundaries once a peer has an odd layout.
std::uint64_t read_le(std::span<const std::uint8_t> block, std::uint64_t offset, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | block[static_cast<std::size_t>(offset) + i];
    }
    return value;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return b > max - a ? max : a + b;
}

// An adapter handle of the WireGuard library, closed with the library's own entry point on
// every path out of the read.
struct AdapterPolicy {
    using Value = WireGuardAdapterHandle;
    WireGuardCloseAdapterFn close_adapter = nullptr;
    static WireGuardAdapterHandle invalid() noexcept { return nullptr; }
    static bool is_valid(WireGuardAdapterHandle handle) noexcept { return handle != nullptr; }
    void close(WireGuardAdapterHandle handle) noexcept { close_adapter(handle); }
};
using OpenAdapter = Owned<AdapterPolicy>;

// 8-byte elements give the buffer both its rounding to a multiple of 8 and its alignment;
// the wiping allocator clears it before release because the block holds the private key.
using ConfigurationBuffer = std::vector<std::uint64_t, WipingAllocator<std::uint64_t>>;

Result<AdapterTelemetry> read_open_adapter(const wireguard::WireGuardComponents& components,
                                           WireGuardAdapterHandle adapter) {
    std::uint32_t state = 0;
    if (components.get_adapter_state(adapter, &state) == 0) {
        return fail(DetailCode::WIREGUARD_ADAPTER_STATE_FAILED);
    }
    std::uint32_t probed = 0;
    components.get_configuration(adapter, nullptr, &probed);
    if (probed < kMinimumBlockSize || probed > kMaximumBlockSize) {
        return fail(DetailCode::WIREGUARD_CONFIGURATION_SIZE_INVALID);
    }
    ConfigurationBuffer buffer((probed + 7) / 8, 0);
    std::uint32_t returned = probed;
    if (components.get_configuration(adapter, buffer.data(), &returned) == 0) {
        return fail(DetailCode::WIREGUARD_CONFIGURATION_READ_FAILED);
    }
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(buffer.data()),
                                              buffer.size() * sizeof(std::uint64_t));
    return walk_configuration_block(bytes, returned, state == 1);
}

}  // namespace

Result<AdapterTelemetry> walk_configuration_block(std::span<const std::uint8_t> block,
                                                  std::uint32_t returned_size, bool adapter_up) {
    if (returned_size < kMinimumBlockSize || returned_size > block.size()) {
        return fail(DetailCode::WIREGUARD_CONFIGURATION_INVALID);
    }
    const auto peers = static_cast<std::uint32_t>(read_le(block, kInterfacePeerCountOffset, 4));
    if (peers > kMaximumPeers)
        return fail(DetailCode::WIREGUARD_PEER_COUNT_INVALID);

    AdapterTelemetry telemetry;
    telemetry.adapter_up = adapter_up;
    std::uint64_t latest_handshake = 0;
    // 64-bit offsets: 64 peers each announcing 2^32 - 1 networks stay far below overflow.
    std::uint64_t offset = kInterfaceRecordSize;
    for (std::uint32_t peer = 0; peer < peers; ++peer) {
        if (offset + kPeerRecordSize > returned_size) {
            return fail(DetailCode::WIREGUARD_CONFIGURATION_INVALID);
        }
        telemetry.tx_bytes =
            saturating_add(telemetry.tx_bytes, read_le(block, offset + kPeerTxOffset, 8));
        telemetry.rx_bytes =
            saturating_add(telemetry.rx_bytes, read_le(block, offset + kPeerRxOffset, 8));
        const std::uint64_t handshake = read_le(block, offset + kPeerHandshakeOffset, 8);
        if (handshake > latest_handshake)
            latest_handshake = handshake;
        const std::uint64_t networks = read_le(block, offset + kPeerAllowedCountOffset, 4);
        offset += kPeerRecordSize + kAllowedIpRecordSize * networks;
    }
    if (offset > returned_size)
        return fail(DetailCode::WIREGUARD_CONFIGURATION_INVALID);
    telemetry.last_handshake_unix_seconds = file_time_to_unix_seconds(latest_handshake);
    return telemetry;
}

Result<AdapterTelemetry> read_adapter_telemetry(Runtime& runtime,
                                                std::string_view component_directory) {
    auto components = runtime.components.load(runtime.platform, component_directory);
    if (!components)
        return fail(components.error());
    const OpenAdapter adapter((*components)->open_adapter(kAdapterName),
                              AdapterPolicy{(*components)->close_adapter});
    if (!adapter)
        return fail(DetailCode::WIREGUARD_ADAPTER_NOT_FOUND);
    return read_open_adapter(**components, adapter.get());
}

}  // namespace velnaro
