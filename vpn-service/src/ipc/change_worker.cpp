#include "ipc/change_worker.hpp"

#include <utility>

namespace velnaro {

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
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
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

void ChangeWorker::run() {
    for (;;) {
        Queued next;
        {
            std::unique_lock lock(mutex_);
            queued_or_stopping_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
            if (stopping_ || server_stop_->load())
                return;
            next = std::move(queued_.front());
            queued_.pop_front();
        }
        auto body = next.change();
        {
            std::lock_guard lock(mutex_);
            answers_.push_back({next.ticket, std::move(body)});
        }
        answer_ready_();
    }
}

}  // namespace velnaro
