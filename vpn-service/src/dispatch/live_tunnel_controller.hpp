#pragma once

#include <atomic>
#include <memory>

#include "dispatch/tunnel_controller.hpp"
#include "wireguard/runtime.hpp"
#include "service_manager/tunnel_service_manager.hpp"

namespace velnaro {

// The controller of the running service: the real tunnel service and the sealed
// configuration in the data directory. It keeps one thing between requests: whether a STOP
// has acknowledged a tunnel that failed, which is then DISCONNECTED until the next APPLY_CONFIG,
// START or REPAIR.
class LiveTunnelController final : public TunnelController {
  public:
    // The identity rendered into the configuration is ensured through `identity`, the
    // keeper the dispatcher's identity commands share; the data directory is its directory.
    LiveTunnelController(Runtime& runtime, std::shared_ptr<IdentityKeeper> identity);

    ConnectionStatus status() override;
    Outcome<void> apply_config(const TunnelConfig& config) override;
    Outcome<void> start() override;
    Outcome<void> stop() override;
    Outcome<void> repair() override;

  private:
    Runtime& runtime_;
    std::shared_ptr<IdentityKeeper> identity_;
    // Written by the request that changes state while a status read may look at it.
    std::atomic<TunnelFailure> failure_ = TunnelFailure::reported;
};

}  // namespace velnaro
