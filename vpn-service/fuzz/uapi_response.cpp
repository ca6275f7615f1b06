// Answers read from the WireGuard daemon's UAPI socket ("get=1" and "set=1").
#include <cstdlib>
#include <string_view>

#include "uapi_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velnaro::wglinux;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto device = parse_uapi_get_response(text);
    if (device) {
        for (const auto& peer : device->peers) {
            for (const auto& allowed : peer.allowed_ips) {
                const int bits = allowed.family == AddressFamily::ipv4 ? 32 : 128;
                if (allowed.cidr > bits)
                    std::abort();
            }
        }
    }
    parse_uapi_errno(text);
    return 0;
}
