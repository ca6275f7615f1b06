#include "ipc_client/client.hpp"

#include <array>

#include "ipc_client/frames.hpp"
#include "protocol/messages.hpp"

namespace velnaro {

Outcome<std::unique_ptr<platform::PipeConnection>> connect_to_service(
    platform::Platform& platform, std::string_view pipe_name, std::chrono::milliseconds patience) {
    const auto deadline = platform.system.monotonic_now() + patience;
    for (;;) {
        auto opened = platform.pipes.open_client(pipe_name, kClientWaitSlice,
                                                 platform::ClientIdentity::identify);
        if (opened)
            return std::move(*opened);
        if (opened.error().reason == platform::PipeOpenError::open_failed)
            return fail(DetailCode::IPC_SELF_TEST_EXCHANGE_FAILED, std::move(opened.error().os));
        if (platform.system.monotonic_now() >= deadline)
            return fail(DetailCode::IPC_SELF_TEST_PIPE_UNAVAILABLE, std::move(opened.error().os));
        platform.system.sleep_for(kClientPause);
    }
}

Outcome<std::vector<std::uint8_t>> exchange_frames(platform::Platform& platform,
                                                  platform::PipeConnection& pipe,
                                                  std::span<const std::uint8_t> request_body) {
    const auto deadline = platform.system.monotonic_now() + kClientAnswerLimit;
    const auto header = frame_header(static_cast<std::uint32_t>(request_body.size()));
    if (write_all(platform, pipe, header, deadline) != TransferEnd::complete ||
        write_all(platform, pipe, request_body, deadline) != TransferEnd::complete) {
        return fail(DetailCode::IPC_WRITE_FAILED);
    }
    std::array<std::uint8_t, kFrameHeaderBytes> answer_header{};
    if (read_exact(platform, pipe, answer_header, deadline) != TransferEnd::complete) {
        return fail(DetailCode::IPC_READ_FAILED);
    }
    const std::uint32_t size = frame_body_size(answer_header);
    if (size == 0 || size > MAX_IPC_MESSAGE_BYTES) {
        return fail(DetailCode::IPC_MESSAGE_SIZE_INVALID);
    }
    std::vector<std::uint8_t> body(size);
    if (read_exact(platform, pipe, body, deadline) != TransferEnd::complete) {
        return fail(DetailCode::IPC_READ_FAILED);
    }
    return body;
}

Outcome<std::vector<std::uint8_t>> send_request(platform::Platform& platform,
                                               std::string_view request_body,
                                               std::string_view pipe_name,
                                               std::chrono::milliseconds patience) {
    auto pipe = connect_to_service(platform, pipe_name, patience);
    if (!pipe)
        return fail(pipe.error());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(request_body.data());
    return exchange_frames(platform, **pipe, {bytes, request_body.size()});
}

}  // namespace velnaro
