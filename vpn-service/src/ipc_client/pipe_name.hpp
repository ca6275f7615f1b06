#pragma once

#include "platform/conventions.hpp"

namespace velnaro {

// Where clients find the service. On Linux the pipe is a Unix socket under /run.
using platform::kServicePipeName;

}  // namespace velnaro
