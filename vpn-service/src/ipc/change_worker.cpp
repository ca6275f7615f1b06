#include "ipc/change_worker.hpp"

#include <system_error>
#include <utility>

#include "protocol/messages.hpp"

namespace velnaro {
namespace {

// What a caller hears when its change ended in an exception (in practice, memory ran out):
// the worker goes on serving, and the connection is answered rather than left hanging.
std::optional<std::vector<std::uint8_t>> internal_error_answer() noexcept {
    try {
        auto body =
            encode_response(ErrorResponse{ErrorPayload{DetailCode::SERVICE_INTERNAL_ERROR}});
        if (body)
            return std::move(*body);
    } catch (...) {
    }
    return std::nullopt;
}

}  // namespace

ChangeWorker::ChangeWorker(std::function<void()> answer_ready,
                           std::shared_ptr<const std::atomic<bool>> server_stop)
    : answer_ready_(std::move(answer_ready)), server_stop_(std::move(server_stop)) {}

ChangeWorker::~ChangeWorker() {
    stop();
}

void ChangeWorker::submit(std::uint64_t ticket, Change change) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        queued_.push_back({ticket, std::move(change)});
    }
    // Only the server thread submits, so the thread is started once.
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            // Without a thread the change runs here, and reads wait for it as they would
            // without a worker; its answer is taken like any other.
            while (auto next = next_change())
                finish(*next);
            return;
        }
    }
    queued_or_stopping_.notify_one();
}

std::vector<ChangeWorker::Answer> ChangeWorker::take_answers() {
    std::lock_guard lock(mutex_);
    return std::exchange(answers_, {});
}

void ChangeWorker::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queued_.clear();
    }
    queued_or_stopping_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

std::optional<ChangeWorker::Queued> ChangeWorker::next_change() {
    std::lock_guard lock(mutex_);
    if (stopping_ || server_stop_->load() || queued_.empty())
        return std::nullopt;
    Queued next = std::move(queued_.front());
    queued_.pop_front();
    return next;
}

void ChangeWorker::finish(Queued& queued) {
    // Nothing a change throws may end the worker's thread, which would end the process.
    std::optional<std::vector<std::uint8_t>> body;
    try {
        body = queued.change();
    } catch (...) {
        body = internal_error_answer();
    }
    try {
        {
            std::lock_guard lock(mutex_);
            answers_.push_back({queued.ticket, std::move(body)});
        }
        answer_ready_();
    } catch (...) {
        // Without room for the answer its connection waits for the stop or the server's
        // replacement; the worker still serves the next change.
    }
}

void ChangeWorker::run() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            queued_or_stopping_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
        }
        // Only this thread takes changes, so one is there unless a stop came.
        auto next = next_change();
        if (!next)
            return;
        finish(*next);
    }
}

}  // namespace velnaro
