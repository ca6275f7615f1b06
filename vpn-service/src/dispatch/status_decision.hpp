#pragma once

#include "service_manager/tunnel_service_manager.hpp"

#include <cstdint>

#include "core/connection_state.hpp"
#include "core/failure.hpp"
#include "protocol/connection_status.hpp"
#include "wireguard/runtime.hpp"
#include "wireguard/telemetry.hpp"

namespace velnaro {

// A handshake at most this old counts as fresh.
inline constexpr std::uint64_t kStaleHandshakeSeconds = 180;

// The decision on its own: the tunnel service's preliminary state (or the code its query
// gave), the adapter reading (or the code of the component directory or of the reading;
// looked at only when the service runs) and the wall clock in 100-ns units since 1601.
ConnectionStatus decide_connection_status(const Outcome<ConnectionState>& service_state,
                                          const Outcome<AdapterTelemetry>& telemetry,
                                          std::uint64_t now_100ns);

// Queries the tunnel service and, only while it runs, the adapter. Never fails: every
// problem becomes a state and a detail code in the record.
ConnectionStatus compute_connection_status(Runtime& runtime,
                                           TunnelFailure failure = TunnelFailure::reported);

}  // namespace velnaro
