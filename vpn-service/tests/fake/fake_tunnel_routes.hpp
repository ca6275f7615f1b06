#pragma once

#include <string>
#include <vector>

#include "fake/faults.hpp"
#include "platform/tunnel_routes.hpp"

namespace velnaro::fake {

// The tunnel's held ranges as a list: `blocked` is what a reader sees, and a release empties
// it. Faults: "release_tunnel_routes", "blocked_ranges".
class FakeTunnelRoutes final : public platform::TunnelRoutes {
  public:
    explicit FakeTunnelRoutes(Faults& faults) : faults_(faults) {}

    platform::OsResult<void> release() override {
        if (faults_.should_fail("release_tunnel_routes"))
            return std::unexpected(platform::OsError{1, "release_tunnel_routes", {}});
        blocked.clear();
        return {};
    }
    platform::OsResult<std::vector<std::string>> blocked_ranges() override {
        if (faults_.should_fail("blocked_ranges"))
            return std::unexpected(platform::OsError{1, "blocked_ranges", {}});
        return blocked;
    }

    std::vector<std::string> blocked;

  private:
    Faults& faults_;
};

}  // namespace velnaro::fake
