#pragma once

#include "platform/log.hpp"
#include "service_manager/service_commands.hpp"

namespace velnaro {

// Logs a failure a system call caused, then prints the result as one JSON line; the exit
// status of the mode (0 when it succeeded).
int print_service_result(platform::Log& log, const ServiceCommandResult& result);

}  // namespace velnaro
