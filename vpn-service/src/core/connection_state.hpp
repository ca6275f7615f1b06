#pragma once

#include <cstdint>
#include <string_view>

namespace velnaro {

// The tunnel's overall state as clients see it; the numeric value is the order.
enum class ConnectionState : std::uint8_t {
    UNAVAILABLE = 0,
    DISCONNECTED = 1,
    CONNECTING = 2,
    CONNECTED = 3,
    DEGRADED = 4,
    ERROR = 5,
};

constexpr std::string_view to_text(ConnectionState state) {
    switch (state) {
        case ConnectionState::UNAVAILABLE: return "UNAVAILABLE";
        case ConnectionState::DISCONNECTED: return "DISCONNECTED";
        case ConnectionState::CONNECTING: return "CONNECTING";
        case ConnectionState::CONNECTED: return "CONNECTED";
        case ConnectionState::DEGRADED: return "DEGRADED";
        case ConnectionState::ERROR: return "ERROR";
    }
    return "ERROR";
}

}  // namespace velnaro
