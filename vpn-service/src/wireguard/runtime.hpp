#pragma once

#include "platform/platform.hpp"
#include "wireguard/components.hpp"

namespace velnaro {

// What every operation above the platform works with: the platform, and the process-wide
// component cell. Both are created by the program entry (or a test) and passed down.
struct Runtime {
    platform::Platform& platform;
    wireguard::ComponentCell& components;
};

}  // namespace velnaro
