#include "main/modes.hpp"

namespace velnaro {

// Not built yet.
int run_status_self_test_mode() { return run_unavailable_mode(); }

}  // namespace velnaro
