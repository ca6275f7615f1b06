#pragma once

#include <functional>
#include <map>
#include <string>

#include "fake/faults.hpp"
#include "platform/system.hpp"

namespace velnaro::fake {

// Environment, executable path, random bytes and a manual clock. sleep_for advances the
// monotonic clock instead of waiting, so time limits are tested without waiting.
class FakeSystem final : public platform::System {
  public:
    explicit FakeSystem(Faults& faults) : faults_(faults) {}

    std::optional<std::string> environment_variable(std::string_view name) override;
    platform::OsResult<std::string> executable_path() override;
    platform::OsResult<void> random_bytes(std::span<std::uint8_t> out) override;
    std::uint64_t system_time_100ns() override;
    std::chrono::steady_clock::time_point monotonic_now() override;
    void sleep_for(std::chrono::milliseconds duration) override;

    std::map<std::string, std::string, std::less<>> environment;
    std::optional<std::string> executable;
    std::uint64_t wall_clock_100ns = 133000000000000000ULL;
    std::chrono::steady_clock::time_point monotonic{};
    int sleeps = 0;
    // Runs after each sleep: what a test lets happen meanwhile.
    std::function<void()> on_sleep;

  private:
    Faults& faults_;
    std::uint8_t next_random_ = 1;
};

}  // namespace velnaro::fake
