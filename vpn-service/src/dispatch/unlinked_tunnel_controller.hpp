#pragma once

#include "dispatch/tunnel_controller.hpp"

namespace velnaro {

// The controller of the in-process self-tests: it has no WireGuard behind it, so it
// reports the tunnel as unavailable and refuses everything that would need one, while
// still validating configurations the way the live controller does.
class UnlinkedTunnelController final : public TunnelController {
  public:
    ConnectionStatus status() override;
    Outcome<void> apply_config(const TunnelConfig& config) override;
    Outcome<void> start() override;
    Outcome<void> stop() override;
    Outcome<void> repair() override;
};

}  // namespace velnaro
