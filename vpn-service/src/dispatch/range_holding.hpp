#pragma once

#include <string_view>

#include "core/failure.hpp"
#include "platform/range_guard.hpp"
#include "tunnel_config/tunnel_config.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// What the guard holds for a configuration: its allowed networks (host bits cleared, each
// once), the tunnel's interface and address, and its gateway.
platform::GuardedTunnel guarded_tunnel_of(const TunnelConfig& config);

// Holds the configuration's ranges before the tunnel starts, so that no packet for them
// leaves by another way while it comes up. TUNNEL_RANGES_HOLD_FAILED with the system's error
// when the guard refuses; what was held before then stays held. The journal says why they
// are held once, when what is held changes.
Outcome<void> hold_tunnel_ranges(platform::Platform& platform, const TunnelConfig& config);

// The same for the configuration stored at `path` (START, REPAIR). A file that is missing or
// cannot be opened holds nothing new: the tunnel fails on it the same way and never runs.
Outcome<void> hold_stored_tunnel_ranges(platform::Platform& platform, std::string_view path);

}  // namespace velnaro
