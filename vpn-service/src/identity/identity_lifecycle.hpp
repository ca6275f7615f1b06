#pragma once

#include <string_view>

#include "core/result.hpp"
#include "identity/device_identity.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// Makes sure the data directory holds a consistent identity, creating it on first use.
Result<DeviceIdentity> ensure_identity(Runtime& runtime, std::string_view data_directory);
// Prepares (or returns the already prepared) next identity of a two-step rotation.
Result<DeviceIdentity> prepare_rotation(Runtime& runtime, std::string_view data_directory);
Status commit_rotation(Runtime& runtime, std::string_view data_directory);
Status abort_rotation(Runtime& runtime, std::string_view data_directory);

}  // namespace velnaro
