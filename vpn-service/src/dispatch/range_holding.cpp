#include "dispatch/range_holding.hpp"

#include <algorithm>

#include "core/version.hpp"
#include "tunnel_config/config_file.hpp"

namespace velnaro {
namespace {

std::string joined(const std::vector<std::string>& ranges) {
    std::string text;
    for (const auto& range : ranges)
        text += (text.empty() ? "" : ", ") + range;
    return text;
}

}  // namespace

platform::GuardedTunnel guarded_tunnel_of(const TunnelConfig& config) {
    platform::GuardedTunnel tunnel;
    for (const auto& allowed : config.allowed_ips) {
        const auto network = network_of_cidr(allowed);
        if (network &&
            std::find(tunnel.ranges.begin(), tunnel.ranges.end(), *network) == tunnel.ranges.end())
            tunnel.ranges.push_back(*network);
    }
    tunnel.interface_name = std::string(kTunnelName);
    tunnel.address = config.address;
    tunnel.endpoint = config.endpoint_host + ":" + std::to_string(config.endpoint_port);
    return tunnel;
}

Outcome<void> hold_tunnel_ranges(platform::Platform& platform, const TunnelConfig& config) {
    const auto tunnel = guarded_tunnel_of(config);
    const auto before = platform.ranges.held_ranges();
    if (auto held = platform.ranges.hold(tunnel); !held)
        return fail(DetailCode::TUNNEL_RANGES_HOLD_FAILED, held.error());
    if (!before || *before != tunnel.ranges) {
        platform.log.write(platform::LogPriority::notice, std::nullopt,
                           "traffic to " + joined(tunnel.ranges) + " held in the tunnel " +
                               tunnel.interface_name +
                               ": refused on every other interface, and refused while the "
                               "tunnel is down, until STOP");
    }
    return {};
}

Outcome<void> hold_stored_tunnel_ranges(platform::Platform& platform, std::string_view path) {
    const auto text = read_tunnel_config_text(platform, path);
    if (!text)
        return {};
    const auto config = read_back_tunnel_config(as_text(*text));
    if (!config)
        return {};
    return hold_tunnel_ranges(platform, *config);
}

}  // namespace velnaro
