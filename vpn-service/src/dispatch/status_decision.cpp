#include "dispatch/status_decision.hpp"

#include <functional>
#include <optional>

#include "core/file_time.hpp"

#include "service_manager/tunnel_service_manager.hpp"
#include "wireguard/components.hpp"
#include "wireguard/keys.hpp"

namespace velnaro {
namespace {

ConnectionStatus bare(ConnectionState state, std::optional<DetailCode> code = std::nullopt) {
    ConnectionStatus status;
    status.state = state;
    status.detail_code = code;
    return status;
}

ConnectionStatus with_counters(ConnectionState state, std::optional<DetailCode> code,
                               const AdapterTelemetry& reading,
                               std::optional<std::uint64_t> handshake) {
    ConnectionStatus status = bare(state, code);
    status.last_handshake_unix_seconds = handshake;
    status.rx_bytes = reading.rx_bytes;
    status.tx_bytes = reading.tx_bytes;
    return status;
}

// A clock before 1970 cannot age anything, so the handshake is taken as fresh; a
// handshake in the future has age 0.
bool is_stale(std::uint64_t handshake_unix_seconds, std::uint64_t now_100ns) {
    const std::optional<std::uint64_t> now = file_time_to_unix_seconds(now_100ns);
    if (!now)
        return false;
    const std::uint64_t age = *now > handshake_unix_seconds ? *now - handshake_unix_seconds : 0;
    return age > kStaleHandshakeSeconds;
}

ConnectionStatus decide_from_reading(const AdapterTelemetry& reading, std::uint64_t now_100ns) {
    if (!reading.adapter_up) {
        return with_counters(ConnectionState::CONNECTING, DetailCode::WIREGUARD_ADAPTER_DOWN,
                             reading, reading.last_handshake_unix_seconds);
    }
    if (!reading.last_handshake_unix_seconds) {
        return with_counters(ConnectionState::CONNECTING, DetailCode::WIREGUARD_HANDSHAKE_PENDING,
                             reading, std::nullopt);
    }
    const std::uint64_t handshake = *reading.last_handshake_unix_seconds;
    if (is_stale(handshake, now_100ns)) {
        return with_counters(ConnectionState::DEGRADED, DetailCode::WIREGUARD_HANDSHAKE_STALE,
                             reading, handshake);
    }
    return with_counters(ConnectionState::CONNECTED, std::nullopt, reading, handshake);
}

Outcome<AdapterTelemetry> read_telemetry(Runtime& runtime) {
    // Loaded libraries stay as they are, so their folder is looked up for the first load only.
    if (runtime.components.attempted())
        return read_adapter_telemetry(runtime, {});
    const auto directory = resolve_component_directory(runtime.platform);
    if (!directory)
        return fail(directory.error());
    return read_adapter_telemetry(runtime, *directory);
}

}  // namespace

ConnectionStatus decide_connection_status(const Outcome<ConnectionState>& service_state,
                                          const Outcome<AdapterTelemetry>& telemetry,
                                          std::uint64_t now_100ns) {
    if (!service_state)
        return bare(ConnectionState::ERROR, service_state.error().code);
    if (*service_state != ConnectionState::CONNECTED)
        return bare(*service_state);
    if (telemetry)
        return decide_from_reading(*telemetry, now_100ns);
    // The service runs but has not brought its adapter up yet.
    if (telemetry.error() == DetailCode::WIREGUARD_ADAPTER_NOT_FOUND) {
        return bare(ConnectionState::CONNECTING, DetailCode::WIREGUARD_ADAPTER_NOT_READY);
    }
    return bare(ConnectionState::ERROR, telemetry.error().code);
}

ConnectionStatus compute_connection_status(Runtime& runtime, TunnelFailure failure) {
    // Where the service manager can answer while other work runs (systemd), and once the
    // libraries are loaded (by the first poll that found the tunnel running, so that polls of
    // an idle service load nothing), the adapter is read meanwhile and the reading used only if
    // the service runs. Otherwise it is read afterwards, only while the service runs. Both
    // answers are asked for after the poll arrived.
    std::optional<Outcome<AdapterTelemetry>> early;
    std::function<void()> meanwhile;
    if (runtime.components.attempted())
        meanwhile = [&] { early = read_telemetry(runtime); };
    const auto service_state = query_tunnel_service(runtime.platform, failure, meanwhile);
    if (!service_state || *service_state != ConnectionState::CONNECTED) {
        return decide_connection_status(service_state,
                                        fail(DetailCode::WIREGUARD_ADAPTER_NOT_FOUND), 0);
    }
    const auto telemetry = early ? std::move(*early) : read_telemetry(runtime);
    return decide_connection_status(service_state, telemetry,
                                    runtime.platform.system.system_time_100ns());
}

}  // namespace velnaro
