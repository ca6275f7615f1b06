#include "fake/faults.hpp"

#include <algorithm>

namespace velnaro::fake {

void Faults::fail_nth(std::string_view operation, int nth) {
    std::lock_guard lock(mutex_);
    countdown_[std::string(operation)] = nth;
}

void Faults::fail_always(std::string_view operation) {
    std::lock_guard lock(mutex_);
    always_[std::string(operation)] = true;
}

void Faults::clear() {
    std::lock_guard lock(mutex_);
    countdown_.clear();
    always_.clear();
}

bool Faults::should_fail(std::string_view operation) {
    std::lock_guard lock(mutex_);
    calls_.emplace_back(operation);
    if (crash_countdown_ > 0 && --crash_countdown_ == 0)
        crashed_ = true;
    if (crashed_)
        return true;
    if (auto it = always_.find(operation); it != always_.end() && it->second) {
        return true;
    }
    if (auto it = countdown_.find(operation); it != countdown_.end()) {
        if (--it->second == 0) {
            countdown_.erase(it);
            return true;
        }
    }
    return false;
}

void Faults::crash_at_call(int nth) {
    std::lock_guard lock(mutex_);
    crash_countdown_ = nth;
    crashed_ = false;
}

bool Faults::crashed() const {
    std::lock_guard lock(mutex_);
    return crashed_;
}

void Faults::end_crash() {
    std::lock_guard lock(mutex_);
    crash_countdown_ = 0;
    crashed_ = false;
}

int Faults::count(std::string_view operation) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(calls_.begin(), calls_.end(), operation));
}

}  // namespace velnaro::fake
