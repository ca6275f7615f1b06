#include "ipc/pipe_server.hpp"

#include <array>

#include "dispatch/dispatcher.hpp"
#include "ipc/frames.hpp"
#include "protocol/messages.hpp"

namespace velnaro {

namespace {

ServiceResponse error_response(DetailCode code) {
    return ErrorResponse{ErrorPayload{code}};
}

// The request of one connection, or the ERROR that answers it; nothing for a stalled client.
std::optional<Result<ServiceRequest>> read_request(platform::Platform& platform,
                                                   platform::PipeHandle pipe) {
    const auto deadline = platform.system.monotonic_now() + kExchangeTimeLimit;
    std::array<std::uint8_t, kFrameHeaderBytes> header{};
    TransferEnd end = read_exact(platform, pipe, header, deadline);
    if (end == TransferEnd::timed_out)
        return std::nullopt;
    if (end != TransferEnd::complete)
        return fail(DetailCode::IPC_READ_FAILED);
    const std::uint32_t size = frame_body_size(header);
    if (size == 0 || size > MAX_IPC_MESSAGE_BYTES) {
        return fail(DetailCode::IPC_MESSAGE_SIZE_INVALID);
    }
    std::vector<std::uint8_t> body(size);
    end = read_exact(platform, pipe, body, deadline);
    if (end == TransferEnd::timed_out)
        return std::nullopt;
    if (end != TransferEnd::complete)
        return fail(DetailCode::IPC_READ_FAILED);
    return decode_request(body);
}

void write_response(platform::Platform& platform, platform::PipeHandle pipe,
                    const std::vector<std::uint8_t>& body) {
    const auto deadline = platform.system.monotonic_now() + kExchangeTimeLimit;
    const auto header = frame_header(static_cast<std::uint32_t>(body.size()));
    if (write_all(platform, pipe, header, deadline) != TransferEnd::complete)
        return;
    if (write_all(platform, pipe, body, deadline) != TransferEnd::complete)
        return;
    platform.pipes.flush(pipe, kExchangeTimeLimit);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> answer_client(Runtime& runtime,
                                                       const RequestContext& context,
                                                       platform::PipeHandle pipe) {
    auto request = read_request(runtime.platform, pipe);
    if (!request)
        return std::nullopt;
    const ServiceResponse response = request->has_value()
                                         ? handle_request(runtime, context, std::move(**request))
                                         : error_response(request->error());
    auto body = encode_response(response);
    if (!body)
        return std::nullopt;
    return std::move(*body);
}

void run_pipe_server(Runtime& runtime, RequestContext context,
                     std::shared_ptr<std::atomic<bool>> stop, std::string_view pipe_name) {
    platform::Pipes& pipes = runtime.platform.pipes;
    std::optional<platform::PipeHandle> instance;
    while (!stop->load()) {
        if (!instance) {
            // A new instance only when there is none or the old one broke; when even that
            // fails the name belongs to someone else and this server is done.
            instance = pipes.create_server(pipe_name);
            if (!instance)
                break;
        }
        const platform::PipeWait wait = pipes.wait_for_client(*instance, kStopCheckInterval);
        if (wait == platform::PipeWait::timed_out)
            continue;
        if (wait == platform::PipeWait::failed) {
            pipes.close(*instance);
            instance.reset();
            continue;
        }
        // A client that arrives once the stop is set is the wake-up (or raced it): no answer.
        if (!stop->load()) {
            if (auto body = answer_client(runtime, context, *instance)) {
                write_response(runtime.platform, *instance, *body);
            }
        }
        if (!pipes.disconnect(*instance)) {
            pipes.close(*instance);
            instance.reset();
        }
    }
    if (instance)
        pipes.close(*instance);
}

void wake_pipe_server(platform::Platform& platform, std::string_view pipe_name) {
    auto client = platform.pipes.open_client(pipe_name, std::chrono::milliseconds(0),
                                             platform::ClientIdentity::anonymous);
    if (client)
        platform.pipes.close(*client);
}

}  // namespace velnaro
