#pragma once

#include <cstdint>
#include <optional>

#include "core/connection_state.hpp"
#include "core/detail_code.hpp"

namespace velnaro {

// The STATUS payload. serviceName, tunnelName and serviceVersion are fixed texts and are
// written by the encoder; they are not stored.
struct ConnectionStatus {
    ConnectionState state = ConnectionState::DISCONNECTED;
    std::optional<DetailCode> detail_code;
    std::optional<std::uint64_t> last_handshake_unix_seconds;
    std::uint64_t rx_bytes = 0;
    std::uint64_t tx_bytes = 0;

    bool operator==(const ConnectionStatus&) const = default;
};

}  // namespace velnaro
