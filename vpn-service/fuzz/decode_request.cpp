// One request body through the whole road of the service: decoding, the dispatcher (without
// identity storage, with the controller that has no WireGuard behind it) and encoding.
#include <cstdlib>
#include <memory>

#include "dispatch/dispatcher.hpp"
#include "dispatch/unlinked_tunnel_controller.hpp"
#include "fake/fake_platform.hpp"
#include "protocol/messages.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velnaro;
    auto request = decode_request({data, size});
    if (!request)
        return 0;
    // Whatever decodes was at most one frame's worth of bytes.
    if (size == 0 || size > MAX_IPC_MESSAGE_BYTES)
        std::abort();

    static fake::FakePlatform* fake = new fake::FakePlatform();
    RequestContext context{nullptr, std::make_unique<UnlinkedTunnelController>()};
    const ServiceResponse response = handle_request(fake->runtime, context, std::move(*request));
    // Every answer the dispatcher gives must reach the client.
    if (!encode_response(response))
        std::abort();
    return 0;
}
