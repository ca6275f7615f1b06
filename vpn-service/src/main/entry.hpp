#pragma once

#include <span>
#include <string>

#include "wireguard/runtime.hpp"

namespace velnaro {

// Picks the mode from the first argument after the program path and runs it.
int run_entry(Runtime& runtime, std::span<const std::string> args);

}  // namespace velnaro
