#pragma once

#include <optional>
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
    // What interface_up says of any name; nothing: it cannot tell.
    platform::OsResult<bool> interface_up(std::string_view name) override {
        if (!interface_is_up)
            return std::unexpected(platform::OsError{1, "interface_up", std::string(name)});
        return *interface_is_up;
    }
    Faults& faults;
    std::vector<std::string> blocked;
    std::optional<bool> interface_is_up;
};

}  // namespace velnaro::fake
