#include "dispatch/live_tunnel_controller.hpp"

#include "dispatch/range_holding.hpp"
#include "dispatch/status_decision.hpp"
#include "platform/paths.hpp"
#include "service_manager/tunnel_service_manager.hpp"
#include "tunnel_config/config_file.hpp"

namespace velnaro {

LiveTunnelController::LiveTunnelController(Runtime& runtime,
                                           std::shared_ptr<IdentityKeeper> identity)
    : runtime_(runtime), identity_(std::move(identity)) {}

ConnectionStatus LiveTunnelController::status() {
    return compute_connection_status(runtime_, failure_.load());
}

Outcome<void> LiveTunnelController::apply_config(const TunnelConfig& config) {
    // Validating first leaves a running tunnel alone when the configuration is refused.
    if (auto valid = validate_tunnel_config(config); !valid)
        return valid;
    failure_ = TunnelFailure::reported;
    if (auto stopped = stop_tunnel_service(runtime_.platform); !stopped)
        return stopped;
    const auto path = store_tunnel_config(runtime_, *identity_, config);
    if (!path)
        return fail(path.error());
    if (auto configured = configure_tunnel_service(runtime_.platform, *path); !configured) {
        return configured;
    }
    // The old tunnel left its ranges held; the new ones join them before the old ones go.
    if (auto held = hold_tunnel_ranges(runtime_.platform, config); !held)
        return held;
    return start_tunnel_service(runtime_.platform);
}

Outcome<void> LiveTunnelController::start() {
    failure_ = TunnelFailure::reported;
    const std::string path = join_path(identity_->data_directory(), kTunnelConfigFileName);
    if (auto held = hold_stored_tunnel_ranges(runtime_.platform, path); !held)
        return held;
    return start_tunnel_service(runtime_.platform);
}

// Only STOP lets go of the tunnel's ranges: APPLY_CONFIG and REPAIR stop the tunnel to
// start it again, and the ranges stay held in between; each holds them before the tunnel
// starts, so none is open between the answer and the tunnel's first step.
Outcome<void> LiveTunnelController::stop() {
    auto stopped = stop_tunnel_service(runtime_.platform);
    if (stopped)
        stopped = release_tunnel_routes(runtime_.platform);
    if (stopped)
        failure_ = TunnelFailure::dismissed;
    return stopped;
}

Outcome<void> LiveTunnelController::repair() {
    const std::string path = join_path(identity_->data_directory(), kTunnelConfigFileName);
    // Checked before anything is stopped, so a repair without a stored configuration
    // leaves a running tunnel as it is.
    if (runtime_.platform.files.path_kind(path) != platform::PathKind::regular_file) {
        return fail(DetailCode::TUNNEL_CONFIG_MISSING);
    }
    failure_ = TunnelFailure::reported;
    if (auto stopped = stop_tunnel_service(runtime_.platform); !stopped)
        return stopped;
    if (auto configured = configure_tunnel_service(runtime_.platform, path); !configured) {
        return configured;
    }
    if (auto held = hold_stored_tunnel_ranges(runtime_.platform, path); !held)
        return held;
    return start_tunnel_service(runtime_.platform);
}

}  // namespace velnaro
