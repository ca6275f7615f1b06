#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/result.hpp"
#include "protocol/connection_status.hpp"
#include "tunnel_config/tunnel_config.hpp"

namespace velnaro {

// What the tunnel commands act on: the live tunnel, or a stand-in without WireGuard.
class TunnelController {
  public:
    virtual ~TunnelController() = default;
    virtual ConnectionStatus status() = 0;
    virtual Status apply_config(const TunnelConfig& config) = 0;
    virtual Status start() = 0;
    virtual Status stop() = 0;
    virtual Status repair() = 0;
};

// What the dispatcher works with. Identity commands need the data directory.
struct RequestContext {
    std::optional<std::string> identity_storage;
    std::unique_ptr<TunnelController> controller;
    // Held for each whole identity operation: GET_PUBLIC_IDENTITY is answered while a
    // rotation may run on the change worker, and must find the files all old or all new.
    std::shared_ptr<std::mutex> identity_files = std::make_shared<std::mutex>();
};

}  // namespace velnaro
