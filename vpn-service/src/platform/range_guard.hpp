#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_error.hpp"

namespace velnaro::platform {

// WireGuard's own encrypted packets carry this mark on Linux (its socket's fwmark), so that
// they leave by the ordinary routes and pass the guard even when the gateway lies in a range.
inline constexpr std::uint32_t kWireGuardMark = 0x2056;

// What the guard keeps inside the tunnel, and what may pass it.
struct GuardedTunnel {
    std::vector<std::string> ranges;  // "10.250.0.0/16": reached through the tunnel or not at all
    std::string interface_name;       // the only interface that may carry them
    std::string address;              // the tunnel's own address ("10.250.77.2/32")
    std::string endpoint;             // "host:port" of the gateway, for the filters that let its
                                      // traffic pass by address (Windows); the mark does on Linux
    std::uint32_t mark = kWireGuardMark;

    bool operator==(const GuardedTunnel&) const = default;
};

// The record of what a guard holds, kept where the system keeps it (Linux: a root-only file;
// Windows: every filter's provider data) so that a restarted machine holds the same tunnel
// again. A line a field, "name value": the interface, the address, the endpoint, the mark
// where WireGuard's packets pass by it (Linux; Windows lets them pass by the gateway's
// address, and writes no mark), then one line a range.
enum class MarkLine { written, left_out };
std::string guard_record_text(const GuardedTunnel& tunnel, MarkLine mark);
// The tunnel a record names, its values as they were written (the guard reading it checks
// them against its system's rules); nothing for a line of another name, or a mark that is not
// a number. Without a mark line, the mark is kWireGuardMark.
std::optional<GuardedTunnel> read_guard_record(std::string_view text);

// What keeps the tunnel's ranges inside the tunnel, at every edge: routes, sockets bound to
// another interface, packets from another interface posing as the ranges. Held before the
// tunnel starts and kept while it is down (stopped, failed, killed, not yet started at boot),
// so the ranges are refused rather than routed elsewhere; only a release lets them go.
// Linux: policy rules and a nftables table of the service's own; Windows: the filtering
// platform's persistent filters.
class RangeGuard {
  public:
    virtual ~RangeGuard() = default;
    // Makes the guard hold exactly `tunnel`: ranges new to it are held before the ones it
    // no longer names are let go, so a range that stays is never open for a moment. On
    // failure nothing of `tunnel` is left half held: what was held before stays held.
    virtual OsResult<void> hold(const GuardedTunnel& tunnel) = 0;
    // Holds again what the last hold recorded (the system was restarted since); false when
    // nothing is recorded: no tunnel is in force.
    virtual OsResult<bool> restore() = 0;
    // Lets every range go and forgets the record, whatever state they were left in;
    // success when nothing is held.
    virtual OsResult<void> release() = 0;
    // The ranges held right now.
    virtual OsResult<std::vector<std::string>> held_ranges() = 0;
    // Of those, the ones refused right now because the tunnel is not up.
    virtual OsResult<std::vector<std::string>> blocked_ranges() = 0;
    // Whether the network interface `name` exists and is up (false when there is none): a
    // client tells from it whether the tunnel outlived the service. An error where it is not
    // read; the client then says nothing of the interface.
    virtual OsResult<bool> interface_up(std::string_view name) = 0;
};

}  // namespace velnaro::platform
