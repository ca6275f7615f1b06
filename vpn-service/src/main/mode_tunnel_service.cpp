#include "core/utf.hpp"
#include "main/modes.hpp"
#include "wireguard/tunnel_service_mode.hpp"

namespace velnaro {

// Started by the service control manager, so nothing is printed: there is nobody to read it.
int run_tunnel_service_mode(Runtime& runtime, std::span<const std::string> args) {
    if (args.size() < 2)
        return 2;
    const std::string& config_path = args[1];
    // A path that is not valid text could name a different file once converted for the
    // platform; it is refused like any other unacceptable configuration path.
    if (!is_valid_utf8(config_path))
        return 1;
    return run_tunnel_service(runtime, config_path) ? 0 : 1;
}

}  // namespace velnaro
