#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/failure.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

struct AdapterTelemetry {
    std::optional<std::uint64_t> last_handshake_unix_seconds;
    std::uint64_t rx_bytes = 0;
    std::uint64_t tx_bytes = 0;
    bool adapter_up = false;

    bool operator==(const AdapterTelemetry&) const = default;
};

// Reads the tunnel's adapter through the loaded components.
Outcome<AdapterTelemetry> read_adapter_telemetry(Runtime& runtime,
                                                std::string_view component_directory);

// Walks a configuration block with every bound check (the pure part of the read above).
// `returned_size` is the size the library reported; `block` may be longer (the buffer).
Outcome<AdapterTelemetry> walk_configuration_block(std::span<const std::uint8_t> block,
                                                  std::uint32_t returned_size, bool adapter_up);

}  // namespace velnaro
