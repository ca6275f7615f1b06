#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace velnaro::platform {

// The operating system's own account of a failed call: its error number (errno, or
// GetLastError / a Win32 status), the call, and the path or name it was given.
struct OsError {
    std::uint32_t code = 0;
    std::string operation;
    std::string subject;
};

template <class T>
using OsResult = std::expected<T, OsError>;

}  // namespace velnaro::platform
