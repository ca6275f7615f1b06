#pragma once

#include "dispatch/tunnel_controller.hpp"

namespace velnaro {

// The controller of the in-process self-tests: it has no WireGuard behind it, so it
// reports the tunnel as unavailable and refuses everything that would need one, while
// still validating configurations the way the live controller does.
class UnlinkedTunnelController final : public TunnelController {
  public:
    ConnectionStatus status() override;
    Status apply_config(const TunnelConfig& config) override;
    Status start() override;
    Status stop() override;
    Status repair() override;
};

}  // namespace velnaro
