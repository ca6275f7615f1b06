#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace velnaro::fake {

// Records every platform call by name and makes chosen calls fail.
class Faults {
  public:
    // The `nth` call of `operation` from now on fails (1 = the next one).
    void fail_nth(std::string_view operation, int nth = 1);
    // Every call of `operation` fails until cleared.
    void fail_always(std::string_view operation);
    void clear();
    // Models a crash: the `nth` call from now on (of any operation) and every call after it
    // fail, as if the process had stopped there. Cleared by end_crash (the next process).
    void crash_at_call(int nth);
    bool crashed() const;
    void end_crash();

    // Called by the fakes: logs the call and tells whether it must fail.
    bool should_fail(std::string_view operation);

    int count(std::string_view operation) const;
    const std::vector<std::string>& calls() const { return calls_; }

  private:
    // Fakes are called from the threads of the code under test (pipe server, service main).
    mutable std::mutex mutex_;
    std::map<std::string, int, std::less<>> countdown_;
    std::map<std::string, bool, std::less<>> always_;
    std::vector<std::string> calls_;
    int crash_countdown_ = 0;
    bool crashed_ = false;
};

}  // namespace velnaro::fake
