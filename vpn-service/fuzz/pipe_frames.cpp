// A client's bytes, cut into reads of fuzzed sizes, through the server's frame assembly and
// answering.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "dispatch/unlinked_tunnel_controller.hpp"
#include "fake/fake_platform.hpp"
#include "ipc/pipe_server.hpp"
#include "protocol/messages.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velnaro;
    FuzzedDataProvider input(data, size);
    const bool may_change_state = input.ConsumeBool();
    const auto end =
        input.ConsumeBool() ? fake::FakeConnection::End::close : fake::FakeConnection::End::stall;
    std::vector<std::vector<std::uint8_t>> chunks;
    while (input.remaining_bytes() > 0) {
        const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 4096);
        chunks.push_back(input.ConsumeBytes<std::uint8_t>(length));
    }

    // Bytes arrive in pieces until the frame is ready or the client ends.
    RequestFrame frame;
    for (const auto& chunk : chunks) {
        if (frame.ready())
            break;
        frame.add(chunk);
    }
    if (end == fake::FakeConnection::End::stall && !frame.ready())
        return 0;  // dropped unanswered at the time limit
    fake::FakePlatform fake;
    RequestContext context{nullptr, std::make_unique<UnlinkedTunnelController>()};
    const platform::PipeCaller caller{"fuzz", may_change_state};
    const auto body = answer_frame(fake.runtime, context, caller, frame);
    if (!body)
        return 0;
    // An answer is always one compact JSON object that fits in a frame.
    if (body->empty() || body->size() > MAX_IPC_MESSAGE_BYTES ||
        !nlohmann::json::accept(body->begin(), body->end())) {
        std::abort();
    }
    return 0;
}
