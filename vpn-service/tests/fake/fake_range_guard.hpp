#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "fake/faults.hpp"
#include "platform/range_guard.hpp"

namespace velnaro::fake {

// The guard's state in memory: what is held (and recorded), and of that what is blocked.
// Faults: "hold_ranges", "restore_ranges", "release_tunnel_routes".
struct FakeRangeGuard final : platform::RangeGuard {
    explicit FakeRangeGuard(Faults& faults) : faults(faults) {}
    platform::OsResult<void> hold(const platform::GuardedTunnel& tunnel) override {
        if (faults.should_fail("hold_ranges"))
            return std::unexpected(platform::OsError{1, "hold_ranges", {}});
        held = tunnel;
        ++holds;
        return {};
    }
    platform::OsResult<bool> restore() override {
        ++restores;
        if (faults.should_fail("restore_ranges"))
            return std::unexpected(platform::OsError{1, "restore_ranges", {}});
        return held.has_value();
    }
    platform::OsResult<void> release() override {
        if (faults.should_fail("release_tunnel_routes"))
            return std::unexpected(platform::OsError{1, "release_tunnel_routes", {}});
        held.reset();
        blocked.clear();
        return {};
    }
    platform::OsResult<std::vector<std::string>> held_ranges() override {
        return held ? held->ranges : std::vector<std::string>{};
    }
    platform::OsResult<std::vector<std::string>> blocked_ranges() override { return blocked; }
    // The fake cannot tell, as on Windows: vpnctl then says nothing of the interface.
    platform::OsResult<bool> interface_up(std::string_view name) override {
        return std::unexpected(platform::OsError{1, "interface_up", std::string(name)});
    }
    Faults& faults;
    std::optional<platform::GuardedTunnel> held;
    int holds = 0;
    int restores = 0;
    std::vector<std::string> blocked;
};

}  // namespace velnaro::fake
