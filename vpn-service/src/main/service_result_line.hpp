#pragma once

#include "service_manager/service_commands.hpp"

namespace velnaro {

// Prints the result as one JSON line; the exit status of the mode (0 when it succeeded).
int print_service_result(const ServiceCommandResult& result);

}  // namespace velnaro
