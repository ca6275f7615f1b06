#pragma once

#include "platform/system.hpp"

namespace velnaro::platform {

class PosixSystem final : public System {
  public:
    std::optional<std::string> environment_variable(std::string_view name) override;
    OsResult<std::string> executable_path() override;
    OsResult<void> random_bytes(std::span<std::uint8_t> out) override;
    std::uint64_t system_time_100ns() override;
    std::chrono::steady_clock::time_point monotonic_now() override;
    void sleep_for(std::chrono::milliseconds duration) override;
};

}  // namespace velnaro::platform
