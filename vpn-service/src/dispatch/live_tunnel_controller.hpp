#pragma once

#include <string>
#include <string_view>

#include "dispatch/tunnel_controller.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// The controller of the running service: the real tunnel service and the sealed
// configuration in the data directory. It keeps nothing else between requests.
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
};

}  // namespace velnaro
