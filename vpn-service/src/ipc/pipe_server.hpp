#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "dispatch/tunnel_controller.hpp"
#include "ipc/pipe_name.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// A client gets this long to deliver its request, and again this long to take the answer,
// before the connection is dropped without a word; otherwise one silent client would hold
// the only instance, and with it every other client and the stop of the service.
inline constexpr std::chrono::seconds kExchangeTimeLimit{5};
// How often a server waiting for a client looks at its stop flag, so that a stop is never
// missed even when no wake-up connection reaches it.
inline constexpr std::chrono::milliseconds kStopCheckInterval{100};

// Serves one connection at a time on the single instance of `pipe_name` until `stop` is
// set: one request frame in, one response frame out, then the client is disconnected and the
// same instance waits for the next one. Ends for good when the instance cannot be created
// (another server holds the name). Owns `context` and releases it when it returns.
void run_pipe_server(Runtime& runtime, RequestContext context,
                     std::shared_ptr<std::atomic<bool>> stop,
                     std::string_view pipe_name = kServicePipeName);

// Connects once and leaves at once, releasing a server that waits for a client.
void wake_pipe_server(platform::Platform& platform, std::string_view pipe_name = kServicePipeName);

// The response body for one connected client, or nothing when the client is dropped
// unanswered (it stalled) or the response cannot be encoded.
std::optional<std::vector<std::uint8_t>> answer_client(Runtime& runtime,
                                                       const RequestContext& context,
                                                       platform::PipeHandle pipe);

}  // namespace velnaro
