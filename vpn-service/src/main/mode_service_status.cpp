#include "main/modes.hpp"

namespace velnaro {

// Not built yet.
int run_service_status_mode(Runtime&) { return run_unavailable_mode(); }

}  // namespace velnaro
