#include "core/version.hpp"
#include "main/modes.hpp"
#include "service/running_service.hpp"

namespace velnaro {

// A service that gave up ends with its reason's stable number, so that the service manager
// (systemd's exit status; on Windows the STOPPED report already carries it) shows why and
// its recovery restarts the service.
int run_service_mode(Runtime& runtime) {
    const ServiceRunResult result = run_service(runtime);
    if (result.dispatcher_error != 0)
        return 1;
    if (!result.gave_up)
        return 0;
    report_give_up(runtime.platform, kServiceName, *result.gave_up, true);
    return static_cast<int>(stable_number(result.gave_up->code));
}

}  // namespace velnaro
