#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/detail_code.hpp"

namespace velnaro {

// The operating system's own account of a failed call: its error number (errno, or
// GetLastError / a Win32 status), the call, and the path or name it was given.
struct OsError {
    std::uint32_t code = 0;
    std::string operation;
    std::string subject;
};

// A failure as it travels to the place that answers it or gives up on it: the detail code
// the caller is told, and why the system refused, when a system call is where it failed.
// Only that place logs it, so each failure leaves one line with both.
struct Failure {
    Failure(DetailCode code) : code(code) {}  // NOLINT: a bare code is a failure without cause
    Failure(DetailCode code, OsError cause) : code(code), cause(std::move(cause)) {}

    DetailCode code;
    std::optional<OsError> cause;

    // What the caller is told; the cause is for the log only.
    friend bool operator==(const Failure& failure, DetailCode code) { return failure.code == code; }
    friend bool operator==(const Failure& a, const Failure& b) { return a.code == b.code; }
};

inline std::string_view to_text(const Failure& failure) { return to_text(failure.code); }

// A result whose failure keeps its cause; `fail(code)` converts into it.
template <class T>
using Outcome = std::expected<T, Failure>;

inline std::unexpected<Failure> fail(DetailCode code, OsError cause) {
    return std::unexpected(Failure(code, std::move(cause)));
}
inline std::unexpected<Failure> fail(Failure failure) { return std::unexpected(std::move(failure)); }

}  // namespace velnaro
