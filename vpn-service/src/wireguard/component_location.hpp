#pragma once

#include <optional>
#include <string_view>

#include "platform/platform.hpp"

namespace velnaro::wireguard {

// Whether the code the service runs with its rights can be changed by nobody outside
// `owners`: the executable, every folder above
// it, and, when given, the component folder with each entry in it. A level that cannot be
// inspected counts as unsafe.
bool location_is_safe(platform::Platform& platform, std::string_view executable,
                      std::optional<std::string_view> component_directory,
                      platform::TrustedOwners owners);

}  // namespace velnaro::wireguard
