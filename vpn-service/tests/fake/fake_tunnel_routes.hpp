#pragma once

#include <string>
#include <string_view>

#include "fake/faults.hpp"
#include "platform/tunnel_routes.hpp"

namespace velnaro::fake {

// The held ranges as a list that a release empties. Fault: "release_tunnel_routes".
struct FakeTunnelRoutes final : platform::TunnelRoutes {
    explicit FakeTunnelRoutes(Faults& faults) : faults(faults) {}
    platform::OsResult<void> release() override {
        if (faults.should_fail("release_tunnel_routes"))
            return std::unexpected(platform::OsError{1, "release_tunnel_routes", {}});
        blocked.clear();
        return {};
    }
    platform::OsResult<std::vector<std::string>> blocked_ranges() override { return blocked; }
    // The fake cannot tell, as on Windows: vpnctl then says nothing of the interface.
    platform::OsResult<bool> interface_up(std::string_view name) override {
        return std::unexpected(platform::OsError{1, "interface_up", std::string(name)});
    }
    Faults& faults;
    std::vector<std::string> blocked;
};

}  // namespace velnaro::fake
