#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "dispatch/tunnel_controller.hpp"
#include "ipc_client/pipe_name.hpp"
#include "protocol/messages.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// A client gets this long from its connection to deliver its request, and again this long
// to take the answer, before the connection is dropped without a word.
inline constexpr std::chrono::seconds kExchangeTimeLimit{5};
// How often a server with a change under way looks for its answer. The worker wakes the
// server with a connection when the answer is ready, but a server that holds its most
// connections closes that one unseen (Windows). An idle server waits without a limit.
inline constexpr std::chrono::milliseconds kAnswerCheckInterval{100};
// Connections of one account that may be open at once, waiting for their answer or taking it;
// the next one is closed at once, so that one account cannot take every place. The
// administrator is not counted.
inline constexpr std::size_t kUnansweredPerAccount = 8;

// The bytes one connection has sent, kept up to the end of its first frame.
class RequestFrame {
  public:
    // Bytes past the end of the frame are dropped with the connection.
    void add(std::span<const std::uint8_t> bytes);
    // Whether there is something to answer before the client ends: the whole frame, or a
    // header that announces a size no request has.
    bool ready() const;
    // The request, or the code that answers what came (IPC_READ_FAILED when it is cut short).
    Outcome<ServiceRequest> request() const;

  private:
    std::optional<std::uint32_t> announced_size() const;
    std::vector<std::uint8_t> bytes_;
};

// Reading the state is open to every admitted caller; anything else needs the right to
// change it.
bool request_changes_state(const ServiceRequest& request);

// The answer body to a request, or to the code its frame was refused with, or nothing when it
// cannot be encoded.
std::optional<std::vector<std::uint8_t>> answer_request(Runtime& runtime,
                                                        const RequestContext& context,
                                                        const platform::PipeCaller& caller,
                                                        Outcome<ServiceRequest> request);
// The answer body to what a connection sent, or nothing when it cannot be encoded.
std::optional<std::vector<std::uint8_t>> answer_frame(Runtime& runtime,
                                                      const RequestContext& context,
                                                      const platform::PipeCaller& caller,
                                                      const RequestFrame& frame);

// Reads every connection of `pipe_name` at once until `stop` is set: one request frame in,
// one response frame out, then the connection is closed. Reads are answered on the calling
// thread in the order their requests become complete; requests that change state run one at
// a time, in that same order, on a worker thread, while reads go on being answered. On a stop
// the running change finishes and is answered; changes not yet begun are dropped unanswered,
// like every connection still open, answers not yet taken included. Fails with IPC_PIPE_IN_USE when a live server
// holds the name, IPC_PIPE_CREATE_FAILED when it cannot be taken otherwise. Owns `context`
// and releases it when it returns.
Outcome<void> run_pipe_server(Runtime& runtime, RequestContext context,
                       std::shared_ptr<std::atomic<bool>> stop,
                       std::string_view pipe_name = kServicePipeName);

// Connects once and leaves at once, releasing a server that waits.
void wake_pipe_server(platform::Platform& platform, std::string_view pipe_name = kServicePipeName);

}  // namespace velnaro
