// The WireGuard text that the Linux tunnel reads from its opened configuration file, and the
// service's own reading of it back into a configuration, which every tunnel start checks.
#include <cstdlib>

#include "tunnel_config/config_file.hpp"
#include "tunnel_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velnaro::wglinux;
    const auto settings = parse_tunnel_text({reinterpret_cast<const char*>(data), size});
    if (settings && (settings->allowed_networks.empty() ||
                     settings->allowed_networks.size() > kMaxAllowedNetworks)) {
        std::abort();
    }
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto config = velnaro::read_back_tunnel_config(text);
    if (velnaro::check_stored_tunnel_config(text) &&
        (!config || config->allowed_ips.empty() || config->allowed_ips.size() > 16)) {
        std::abort();
    }
    return 0;
}
