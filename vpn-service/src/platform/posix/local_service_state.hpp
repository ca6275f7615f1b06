#pragma once

#include <cstdint>
#include <string_view>

namespace velnaro::platform {

// Called by a service's own process to tell the local service manager its state
// (service_state::kRunning once it serves, kStopped just before it ends, or any of the
// seven states). The manager records the caller's pid and start time with it, so a
// service started by hand (in the foreground) is tracked too. Refused (false) when the
// service is not registered, the state is not 1 to 7, the database cannot be written (not
// root), or another live process is already recorded for the service.
bool report_local_service_state(std::string_view service_name, std::uint32_t state);

}  // namespace velnaro::platform
