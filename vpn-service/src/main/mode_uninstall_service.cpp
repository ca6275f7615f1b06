#include "main/modes.hpp"

namespace velnaro {

// Not built yet.
int run_uninstall_service_mode(Runtime&) { return run_unavailable_mode(); }

}  // namespace velnaro
