#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/log.hpp"

namespace velnaro::fake {

// Keeps every line written, for tests of what is logged and what never is. Writing cannot
// fail, so there is no fault to switch on.
class FakeLog final : public platform::Log {
  public:
    struct Line {
        platform::LogPriority priority;
        std::optional<DetailCode> code;
        std::string message;
        int os_error;
        std::string subject;
    };

    void write(platform::LogPriority priority, std::optional<DetailCode> code,
               std::string_view message, int os_error, std::string_view subject) override {
        std::lock_guard lock(mutex_);
        lines.push_back({priority, code, std::string(message), os_error, std::string(subject)});
    }

    // Read once the requests are done: the pipe server's change worker writes from its own
    // thread while the server thread writes too.
    std::vector<Line> lines;

  private:
    std::mutex mutex_;
};

}  // namespace velnaro::fake
