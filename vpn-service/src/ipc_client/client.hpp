#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "ipc_client/pipe_name.hpp"
#include "platform/platform.hpp"

namespace velnaro {

// How a client finds a free instance: short waits with pauses between them until `patience`
// runs out on the monotonic clock.
inline constexpr std::chrono::milliseconds kClientWaitSlice{100};
inline constexpr std::chrono::milliseconds kClientPause{20};
// A client gives the service this long for an answer; longer than the service's own limit
// on an exchange, since a request may first have to stop the tunnel service.
inline constexpr std::chrono::seconds kClientAnswerLimit{60};

// IPC_SELF_TEST_PIPE_UNAVAILABLE when no instance became free in time,
// IPC_SELF_TEST_EXCHANGE_FAILED when a free instance could not be opened.
Outcome<std::unique_ptr<platform::PipeConnection>> connect_to_service(
    platform::Platform& platform, std::string_view pipe_name, std::chrono::milliseconds patience);

// One request frame out, one response frame in, on an open connection. IPC_WRITE_FAILED,
// IPC_READ_FAILED, or IPC_MESSAGE_SIZE_INVALID for a response length outside 1..65536.
Outcome<std::vector<std::uint8_t>> exchange_frames(platform::Platform& platform,
                                                  platform::PipeConnection& pipe,
                                                  std::span<const std::uint8_t> request_body);

// Connects, exchanges once and closes.
Outcome<std::vector<std::uint8_t>> send_request(
    platform::Platform& platform, std::string_view request_body,
    std::string_view pipe_name = kServicePipeName,
    std::chrono::milliseconds patience = std::chrono::seconds(5));

}  // namespace velnaro
