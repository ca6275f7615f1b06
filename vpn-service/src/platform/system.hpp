#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/os_error.hpp"

namespace velnaro::platform {

// Environment, process, clocks and randomness.
class System {
  public:
    virtual ~System() = default;

    // Nothing when the variable is unset.
    virtual std::optional<std::string> environment_variable(std::string_view name) = 0;
    // Full path of the running executable.
    virtual OsResult<std::string> executable_path() = 0;
    // Fills the buffer from the system's random source.
    virtual OsResult<void> random_bytes(std::span<std::uint8_t> out) = 0;
    // Wall clock in 100-nanosecond units since 1601-01-01 UTC.
    virtual std::uint64_t system_time_100ns() = 0;
    virtual std::chrono::steady_clock::time_point monotonic_now() = 0;
    virtual void sleep_for(std::chrono::milliseconds duration) = 0;
};

}  // namespace velnaro::platform
