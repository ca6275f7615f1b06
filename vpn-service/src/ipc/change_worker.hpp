#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velnaro {

// Runs the requests that change state one at a time, in the order they are handed over, on a
// thread of its own, so that the server thread goes on answering reads while the tunnel is
// stopped or started. The worker never touches a connection: each answer goes back to the
// server thread, which alone writes to connections and closes them.
class ChangeWorker {
  public:
    // Handles one request and returns the answer body (nothing when it cannot be encoded).
    // A change that throws is answered ERROR SERVICE_INTERNAL_ERROR, and the worker goes on.
    using Change = std::move_only_function<std::optional<std::vector<std::uint8_t>>()>;
    struct Answer {
        std::uint64_t ticket = 0;
        std::optional<std::vector<std::uint8_t>> body;
    };

    // `answer_ready` runs on the worker's thread after each answer is queued, outside the
    // lock, to wake the server thread. Once `server_stop` is set no further change begins,
    // as the server answers nothing more once it sees it.
    ChangeWorker(std::function<void()> answer_ready,
                 std::shared_ptr<const std::atomic<bool>> server_stop);
    ~ChangeWorker();
    ChangeWorker(const ChangeWorker&) = delete;
    ChangeWorker& operator=(const ChangeWorker&) = delete;

    // Queues `change` behind those handed over before; its answer will carry `ticket`. The
    // thread starts with the first change, so a server that is only read costs no thread.
    void submit(std::uint64_t ticket, Change change);
    // The answers finished since the last call, in the order the changes ran.
    std::vector<Answer> take_answers();
    // Drops the changes not yet begun and waits for the running one to finish; its answer
    // stays to be taken. Nothing runs afterwards.
    void stop();

  private:
    struct Queued {
        std::uint64_t ticket = 0;
        Change change;
    };
    // The first change queued, unless there is none or a stop came.
    std::optional<Queued> next_change();
    // Runs `queued` and queues its answer.
    void finish(Queued& queued);
    void run();

    std::function<void()> answer_ready_;
    std::shared_ptr<const std::atomic<bool>> server_stop_;
    // Guards queued_, answers_ and stopping_; never held while a change runs.
    std::mutex mutex_;
    std::condition_variable queued_or_stopping_;
    std::deque<Queued> queued_;
    std::vector<Answer> answers_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace velnaro
