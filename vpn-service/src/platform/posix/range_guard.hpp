#pragma once

#include <optional>
#include <string>

#include "platform/range_guard.hpp"

namespace velnaro::platform {

// The guard on Linux: the policy rules (tunnel_routing) and the nftables table (range_filter),
// held and let go together. A hold is recorded in a root-only file, since neither survives a
// restart of the machine: the early-boot step holds the record again before any network is
// configured, and its absence means no tunnel is in force.
class PosixRangeGuard final : public RangeGuard {
  public:
    // `record_path` empty: holds are not recorded (the tunnel's process, which holds what
    // the service has recorded, and may not write there).
    explicit PosixRangeGuard(std::string record_path = {});

    OsResult<void> hold(const GuardedTunnel& tunnel) override;
    OsResult<bool> restore() override;
    OsResult<void> release() override;
    OsResult<std::vector<std::string>> held_ranges() override;
    OsResult<std::vector<std::string>> blocked_ranges() override;
    OsResult<bool> interface_up(std::string_view name) override;

  private:
    OsResult<void> hold_unrecorded(const GuardedTunnel& tunnel,
                                   const std::optional<GuardedTunnel>& before);
    OsResult<std::optional<GuardedTunnel>> previous(const GuardedTunnel& next);

    std::string record_path_;
};

// Where the service records its holds: beside its data directory, under the state
// directory systemd gives it.
std::string range_record_path();

// The record (guard_record_text, with the mark) read back and checked against what this guard
// holds: nothing for a text it did not write.
std::optional<GuardedTunnel> read_range_record(std::string_view text);

}  // namespace velnaro::platform
