#pragma once

#include <atomic>
#include <string>
#include <string_view>

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
    LiveTunnelController(Runtime& runtime, std::string_view data_directory);

    ConnectionStatus status() override;
    Status apply_config(const TunnelConfig& config) override;
    Status start() override;
    Status stop() override;
    Status repair() override;

  private:
    Runtime& runtime_;
    std::string data_directory_;
    // Written by the request that changes state while a status read may look at it.
    std::atomic<TunnelFailure> failure_ = TunnelFailure::reported;
};

}  // namespace velnaro
