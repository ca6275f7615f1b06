#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "platform/posix/netlink.hpp"
#include "platform/range_guard.hpp"

namespace velnaro::platform {

// The numbers of the tunnel's policy routing. One number for all, clear of what is found on
// machines by default: wg-quick's table and mark 51820 (and the ones above it that it takes
// when that is in use) with its rules at 32764-32765; the main and default rules at
// 32766-32767; and the priorities the kernel gives rules added without one, counting down
// from 32765 (systemd-networkd and NetworkManager leave them to it unless told otherwise). The
// mark sets none of the bits that Kubernetes' proxy (0x4000, 0x8000), the container network
// plugins (0xf00, 0xffff0000) and other VPN clients (0xff0000) test.
inline constexpr std::uint32_t kTunnelTable = 8278;
inline constexpr std::uint32_t kTunnelMark = kWireGuardMark;  // 8278, on WireGuard's socket
// In this order: the tunnel's own marked packets leave by the main table; every other packet
// to a range looks up the tunnel's table, which holds the interface's routes while it is up
// and nothing while it is down; then the range is refused ("network unreachable").
inline constexpr std::uint32_t kMarkRulePriority = 8278;
inline constexpr std::uint32_t kRangeRulePriority = 8279;
inline constexpr std::uint32_t kRefuseRulePriority = 8280;

struct Ipv4Range {
    std::uint32_t network = 0;  // host byte order, host bits clear
    std::uint8_t prefix = 0;

    std::string text() const;
    bool operator==(const Ipv4Range&) const = default;
};

// "10.250.0.0/16" (host bits must be clear) or "10.250.77.2/32"; nothing for other text.
std::optional<Ipv4Range> parse_ipv4_range(std::string_view text);

// Makes the rules say exactly `ranges`: the missing ones are added first (a range's refusal
// before its lookup), the ones of an earlier configuration are taken away afterwards, so a
// range that stays is never open for a moment. 0 or the kernel's error number.
int hold_tunnel_ranges(RouteNetlink& netlink, const std::vector<Ipv4Range>& ranges);

// Deletes what the kernel knows of link-layer neighbours inside `ranges`, except on the
// interface `kept` (0: none): an entry used before the hold would otherwise be confirmed by a
// probe to the local network seconds later. Entries set by hand (permanent) stay.
int forget_range_neighbours(RouteNetlink& netlink, const std::vector<Ipv4Range>& ranges,
                            int kept);

// Takes every rule of the tunnel and every route of its table away.
int release_tunnel_ranges(RouteNetlink& netlink);

// The ranges held, and of those the ones the tunnel's table has no route for (refused).
struct HeldRanges {
    std::vector<Ipv4Range> held;
    std::vector<Ipv4Range> blocked;
};
int read_tunnel_ranges(RouteNetlink& netlink, HeldRanges& ranges);

// The ranges the rules hold, or only those refused because the tunnel is not up.
OsResult<std::vector<std::string>> read_held_ranges(bool only_blocked);

// What a client sees of the guard (vpnctl): it reads the rules and never changes them.
class PosixRangeReader final : public RangeGuard {
  public:
    OsResult<void> hold(const GuardedTunnel&) override;
    OsResult<bool> restore() override;
    OsResult<void> release() override;
    OsResult<std::vector<std::string>> held_ranges() override { return read_held_ranges(false); }
    OsResult<std::vector<std::string>> blocked_ranges() override { return read_held_ranges(true); }
};

}  // namespace velnaro::platform
