#include "dispatch/unlinked_tunnel_controller.hpp"

namespace velnaro {

ConnectionStatus UnlinkedTunnelController::status() {
    return ConnectionStatus{.state = ConnectionState::UNAVAILABLE,
                            .detail_code = DetailCode::WIREGUARD_EMBEDDABLE_NOT_LINKED,
                            .last_handshake_unix_seconds = std::nullopt,
                            .rx_bytes = 0,
                            .tx_bytes = 0};
}

Outcome<void> UnlinkedTunnelController::apply_config(const TunnelConfig& config) {
    if (Outcome<void> valid = validate_tunnel_config(config); !valid) {
        return valid;
    }
    return fail(DetailCode::WIREGUARD_EMBEDDABLE_NOT_LINKED);
}

Outcome<void> UnlinkedTunnelController::start() {
    return fail(DetailCode::WIREGUARD_EMBEDDABLE_NOT_LINKED);
}

// There is never a tunnel to stop, so stopping has already succeeded.
Outcome<void> UnlinkedTunnelController::stop() {
    return {};
}

Outcome<void> UnlinkedTunnelController::repair() {
    return fail(DetailCode::WIREGUARD_EMBEDDABLE_NOT_LINKED);
}

}  // namespace velnaro
