#include <algorithm>

#include "dispatch/dispatcher.hpp"
#include "ipc_client/frames.hpp"
#include "ipc/pipe_server.hpp"
#include "protocol/commands.hpp"

namespace velnaro {

std::optional<std::uint32_t> RequestFrame::announced_size() const {
    if (bytes_.size() < kFrameHeaderBytes)
        return std::nullopt;
    return frame_body_size(
        std::span<const std::uint8_t, kFrameHeaderBytes>(bytes_.data(), kFrameHeaderBytes));
}

void RequestFrame::add(std::span<const std::uint8_t> bytes) {
    // The header first, then at most the body it announces: the buffer never outgrows the
    // largest frame whatever a client sends.
    std::size_t used = 0;
    while (used < bytes.size()) {
        std::size_t wanted = kFrameHeaderBytes;
        const auto size = announced_size();
        if (size && *size != 0 && *size <= MAX_IPC_MESSAGE_BYTES)
            wanted += *size;
        if (bytes_.size() >= wanted)
            return;
        const std::size_t taken = std::min(wanted - bytes_.size(), bytes.size() - used);
        const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(used);
        bytes_.insert(bytes_.end(), from, from + static_cast<std::ptrdiff_t>(taken));
        used += taken;
    }
}

bool RequestFrame::ready() const {
    const auto size = announced_size();
    if (!size)
        return false;
    if (*size == 0 || *size > MAX_IPC_MESSAGE_BYTES)
        return true;
    return bytes_.size() == kFrameHeaderBytes + *size;
}

Outcome<ServiceRequest> RequestFrame::request() const {
    const auto size = announced_size();
    if (size && (*size == 0 || *size > MAX_IPC_MESSAGE_BYTES))
        return fail(DetailCode::IPC_MESSAGE_SIZE_INVALID);
    if (!ready())
        return fail(DetailCode::IPC_READ_FAILED);
    return decode_request(std::span(bytes_).subspan(kFrameHeaderBytes));
}

bool request_changes_state(const ServiceRequest& request) {
    return command_of(request).changes_state;
}

std::optional<std::vector<std::uint8_t>> answer_request(Runtime& runtime,
                                                        const RequestContext& context,
                                                        const platform::PipeCaller& caller,
                                                        Outcome<ServiceRequest> request) {
    ServiceResponse response = ErrorResponse{ErrorPayload{DetailCode::IPC_CALLER_NOT_ALLOWED}};
    if (!request) {
        response = ErrorResponse{ErrorPayload{request.error().code}};
    } else if (caller.may_change_state || !request_changes_state(*request)) {
        response = handle_request(runtime, context, std::move(*request));
    }
    auto body = encode_response(response);
    if (!body)
        return std::nullopt;
    return std::move(*body);
}

std::optional<std::vector<std::uint8_t>> answer_frame(Runtime& runtime,
                                                      const RequestContext& context,
                                                      const platform::PipeCaller& caller,
                                                      const RequestFrame& frame) {
    return answer_request(runtime, context, caller, frame.request());
}

}  // namespace velnaro
