#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "platform/os_error.hpp"

namespace velnaro::fake {

// The error a fake operation reports when the fault switch fails it, or when the fake itself
// refuses the call (an unknown handle, a missing entry): ERROR_GEN_FAILURE on Windows, which
// no real call of ours expects, so a test can tell the two apart from a system error.
inline constexpr std::uint32_t kFakeFailure = 31;

inline std::unexpected<platform::OsError> fake_error(std::string_view operation,
                                                     std::string_view subject = {},
                                                     std::uint32_t code = kFakeFailure) {
    return std::unexpected(platform::OsError{code, std::string(operation), std::string(subject)});
}

}  // namespace velnaro::fake
