// A client's bytes, cut into reads of fuzzed sizes, through the server's frame reading and
// answering over in-memory pipes.
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
    const auto end =
        input.ConsumeBool() ? fake::FakeConnection::End::close : fake::FakeConnection::End::stall;
    std::vector<std::vector<std::uint8_t>> chunks;
    while (input.remaining_bytes() > 0) {
        const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 4096);
        chunks.push_back(input.ConsumeBytes<std::uint8_t>(length));
    }

    fake::FakePlatform fake;
    fake.pipes.queue_client(std::move(chunks), end);
    const auto server = fake.pipes.create_server("fuzz");
    if (!server || fake.pipes.wait_for_client(*server, std::chrono::milliseconds(0)) !=
                       platform::PipeWait::connected) {
        std::abort();
    }
    RequestContext context{std::nullopt, std::make_unique<UnlinkedTunnelController>()};
    const auto body = answer_client(fake.runtime, context, *server);
    if (!body)
        return 0;
    // An answer is always one compact JSON object that fits in a frame.
    if (body->empty() || body->size() > MAX_IPC_MESSAGE_BYTES ||
        !nlohmann::json::accept(body->begin(), body->end())) {
        std::abort();
    }
    return 0;
}
