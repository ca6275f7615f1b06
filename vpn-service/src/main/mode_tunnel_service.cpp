#include "main/modes.hpp"

namespace velnaro {

// Not built yet.
int run_tunnel_service_mode(Runtime&, std::span<const std::string>) {
    return run_unavailable_mode();
}

}  // namespace velnaro
