#include "fake/fake_system.hpp"

#include "fake/fake_error.hpp"

namespace velnaro::fake {

std::optional<std::string> FakeSystem::environment_variable(std::string_view name) {
    if (faults_.should_fail("environment_variable"))
        return std::nullopt;
    auto it = environment.find(name);
    if (it == environment.end())
        return std::nullopt;
    return it->second;
}

platform::OsResult<std::string> FakeSystem::executable_path() {
    if (faults_.should_fail("executable_path") || !executable)
        return fake_error("executable_path");
    return *executable;
}

platform::OsResult<void> FakeSystem::random_bytes(std::span<std::uint8_t> out) {
    if (faults_.should_fail("random_bytes"))
        return fake_error("random_bytes");
    // Distinct, reproducible bytes; never all zero.
    for (auto& b : out) {
        b = next_random_;
        next_random_ = static_cast<std::uint8_t>(next_random_ * 17 + 29);
        if (next_random_ == 0)
            next_random_ = 1;
    }
    return {};
}

std::uint64_t FakeSystem::system_time_100ns() {
    faults_.should_fail("system_time_100ns");
    return wall_clock_100ns;
}

std::chrono::steady_clock::time_point FakeSystem::monotonic_now() {
    faults_.should_fail("monotonic_now");
    return monotonic;
}

void FakeSystem::sleep_for(std::chrono::milliseconds duration) {
    faults_.should_fail("sleep_for");
    ++sleeps;
    monotonic += duration;
    if (on_sleep)
        on_sleep();
}

}  // namespace velnaro::fake
