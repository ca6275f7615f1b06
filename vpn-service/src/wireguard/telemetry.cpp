#include "wireguard/telemetry.hpp"

#include <limits>
#include <vector>

#include "core/file_time.hpp"
#include "wireguard/adapter_block.hpp"
#include "wireguard/adapter_handle.hpp"
#include "wireguard/components.hpp"

namespace velnaro {
namespace {

constexpr std::uint32_t kMinimumBlockSize = kInterfaceRecordSize;
constexpr std::uint32_t kMaximumBlockSize = 0x100000;
constexpr std::uint32_t kMaximumPeers = 64;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return b > max - a ? max : a + b;
}

Outcome<AdapterTelemetry> read_open_adapter(const wireguard::WireGuardComponents& components,
                                           WireGuardAdapterHandle adapter) {
    std::uint32_t state = 0;
    if (components.get_adapter_state(adapter, &state) == 0) {
        return fail(DetailCode::WIREGUARD_ADAPTER_STATE_FAILED);
    }
    const auto block = read_configuration_block(components, adapter);
    if (!block)
        return fail(block.error());
    return walk_configuration_block(block->bytes(), block->size, state == 1);
}

}  // namespace

Outcome<ConfigurationBlock> read_configuration_block(
    const wireguard::WireGuardComponents& components, WireGuardAdapterHandle adapter) {
    std::uint32_t probed = 0;
    components.get_configuration(adapter, nullptr, &probed);
    if (probed < kMinimumBlockSize || probed > kMaximumBlockSize) {
        return fail(DetailCode::WIREGUARD_CONFIGURATION_SIZE_INVALID);
    }
    ConfigurationBlock block{ConfigurationBuffer((probed + 7) / 8, 0), probed};
    if (components.get_configuration(adapter, block.buffer.data(), &block.size) == 0) {
        return fail(DetailCode::WIREGUARD_CONFIGURATION_READ_FAILED);
    }
    return block;
}

Outcome<AdapterTelemetry> walk_configuration_block(std::span<const std::uint8_t> block,
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

Outcome<AdapterTelemetry> read_adapter_telemetry(Runtime& runtime,
                                                std::string_view component_directory) {
    auto components = runtime.components.load(runtime.platform, component_directory);
    if (!components)
        return fail(components.error());
    const OpenAdapter adapter = open_tunnel_adapter(**components);
    if (!adapter)
        return fail(DetailCode::WIREGUARD_ADAPTER_NOT_FOUND);
    return read_open_adapter(**components, adapter.get());
}

}  // namespace velnaro
