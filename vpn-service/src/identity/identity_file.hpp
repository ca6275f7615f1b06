#pragma once

#include <string_view>

#include "core/result.hpp"
#include "identity/device_identity.hpp"
#include "platform/platform.hpp"

namespace velnaro {

// Reads and opens a sealed identity file ("identity.dat" or "identity.pending.dat").
Result<DeviceIdentity> read_identity_file(platform::Platform& platform, std::string_view path);

}  // namespace velnaro
