#pragma once

#include <string>

#include "platform/range_guard.hpp"

namespace velnaro::platform {

// The nftables table of the service's own, "inet velnaro": what policy routing cannot do.
// Its output chain rejects a packet to the ranges that leaves by another interface than the
// tunnel's (a socket bound to an interface bypasses the rules), WireGuard's own marked packets
// excepted; its prerouting chain drops packets that arrive on another interface with a source
// in the ranges or the tunnel's address as destination (another host posing as the ranges).
// The table is replaced and deleted whole, in one transaction each, and nothing outside it
// is touched, so it lives beside firewalld, Docker and hand-made tables.
inline constexpr const char* kFilterTable = "inet velnaro";
// Before conntrack's defragmentation is done (-400) nothing is whole; before raw (-300),
// firewalld (-290 and up), conntrack (-200), mangle (-150), NAT (-100) and filter (0), so no
// other table's accept, mark or address rewrite comes first.
inline constexpr int kFilterPriority = -350;

// The ruleset text of the table for `tunnel` (the interface name checked for safe
// characters by the caller).
std::string range_filter_text(const GuardedTunnel& tunnel);

// 0 or an error number; `message` gets libnftables' own words.
int set_range_filter(const GuardedTunnel& tunnel, std::string& message);
int remove_range_filter(std::string& message);

}  // namespace velnaro::platform
