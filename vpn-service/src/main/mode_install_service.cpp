#include "main/modes.hpp"

namespace velnaro {

// Not built yet.
int run_install_service_mode(Runtime&) { return run_unavailable_mode(); }

}  // namespace velnaro
