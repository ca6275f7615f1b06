#include "main/modes.hpp"

namespace velnaro {

// The early-boot step (a oneshot unit before network-pre.target): holds the ranges the
// service last held, before any interface is configured, whether or not the tunnel can start
// later; nothing when no configuration is in force. Exit status 0, or the stable number of
// TUNNEL_RANGES_HOLD_FAILED with the reason in the journal.
int run_hold_ranges_mode(Runtime& runtime) {
    auto& log = runtime.platform.log;
    const auto restored = runtime.platform.ranges.restore();
    if (!restored) {
        const Failure failure(DetailCode::TUNNEL_RANGES_HOLD_FAILED, restored.error());
        platform::log_failure(log, failure);
        return static_cast<int>(stable_number(failure.code));
    }
    if (*restored) {
        log.write(platform::LogPriority::notice, std::nullopt,
                  "tunnel ranges held from boot: a configuration is in force, so traffic to "
                  "them goes through the tunnel or nowhere until STOP");
    }
    return 0;
}

}  // namespace velnaro
