// The WireGuard text that the Linux tunnel reads from its opened configuration file.
#include <cstdlib>

#include "tunnel_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velnaro::wglinux;
    const auto settings = parse_tunnel_text({reinterpret_cast<const char*>(data), size});
    if (settings && (settings->allowed_networks.empty() ||
                     settings->allowed_networks.size() > kMaxAllowedNetworks)) {
        std::abort();
    }
    return 0;
}
