#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/detail_code.hpp"
#include "platform/os_error.hpp"

namespace velnaro::platform {

// Syslog priorities, as the journal files them.
enum class LogPriority { error = 3, warning = 4, notice = 5, info = 6 };

// What the system tells an administrator. Linux: the journal, with the detail code, the OS
// error and what it concerns as fields of their own. Windows: nothing; the service stays
// silent there and failures reach the service manager and STATUS instead. Never given a key,
// a sealed blob or configuration text.
class Log {
  public:
    virtual ~Log() = default;
    // os_error 0: none known. subject: the path or name the line concerns, or empty.
    virtual void write(LogPriority priority, std::optional<DetailCode> code,
                       std::string_view message, int os_error = 0,
                       std::string_view subject = {}) = 0;
};

// Writes a failed platform call: the message, with its error number and what it concerned as
// fields of their own.
inline void write_failure(Log& log, LogPriority priority, std::optional<DetailCode> code,
                          std::string_view message, const OsError& error) {
    log.write(priority, code, message, static_cast<int>(error.code), error.subject);
}

// The line of a failure where it ends, when a system call is what failed: "<call> failed",
// with the detail code, the call's error and what it concerned. The detail code alone is the
// caller's answer, so a failure without a cause (or no failure) leaves no line here.
inline void log_failure(Log& log, const std::optional<Failure>& failure) {
    if (failure && failure->cause)
        write_failure(log, LogPriority::error, failure->code,
                      failure->cause->operation + " failed", *failure->cause);
}

// The one line of a failure at the place that decides on it: `message`, with the detail code
// and, when a system call is where it failed, that call's error and what it concerned.
inline void write_failure(Log& log, LogPriority priority, const Failure& failure,
                          std::string_view message) {
    if (!failure.cause) {
        log.write(priority, failure.code, message);
        return;
    }
    std::string line(message);
    line += " (" + failure.cause->operation + " failed)";
    write_failure(log, priority, failure.code, line, *failure.cause);
}

}  // namespace velnaro::platform
