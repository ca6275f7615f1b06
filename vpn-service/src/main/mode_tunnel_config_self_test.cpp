#include "main/modes.hpp"

namespace velnaro {

// Not built yet.
int run_tunnel_config_self_test_mode(Runtime&) { return run_unavailable_mode(); }

}  // namespace velnaro
