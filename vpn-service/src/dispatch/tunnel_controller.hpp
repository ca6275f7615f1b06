#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/failure.hpp"
#include "identity/identity_keeper.hpp"
#include "protocol/connection_status.hpp"
#include "tunnel_config/tunnel_config.hpp"

namespace velnaro {

// What the tunnel commands act on: the live tunnel, or a stand-in without WireGuard. A
// failure keeps the system's error of the call that failed, for the dispatcher to log.
class TunnelController {
  public:
    virtual ~TunnelController() = default;
    virtual ConnectionStatus status() = 0;
    virtual Outcome<void> apply_config(const TunnelConfig& config) = 0;
    virtual Outcome<void> start() = 0;
    virtual Outcome<void> stop() = 0;
    virtual Outcome<void> repair() = 0;
};

// What the dispatcher works with. Identity commands need the data directory's keeper, which
// the live controller shares: GET_PUBLIC_IDENTITY is answered on the server thread while an
// APPLY_CONFIG or a rotation runs on the change worker.
struct RequestContext {
    std::shared_ptr<IdentityKeeper> identity_storage;
    std::unique_ptr<TunnelController> controller;

    // The code each read-only command was last refused with (nothing after a success), so
    // that a client polling a lasting failure does not fill the log.
    struct ReadRefusals {
        std::mutex mutex;
        std::map<std::string, std::optional<DetailCode>, std::less<>> last;
    };
    std::shared_ptr<ReadRefusals> read_refusals = std::make_shared<ReadRefusals>();
};

}  // namespace velnaro
