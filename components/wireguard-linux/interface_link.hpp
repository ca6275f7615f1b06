#pragma once

#include <optional>
#include <string_view>

namespace velnaro::wglinux {

// Both look at the network namespace of the calling thread (not at /sys, which shows the
// namespace it was mounted in).
bool interface_exists(std::string_view name);
// The interface's index, or 0 when there is none of that name.
int interface_index(std::string_view name);
std::optional<bool> interface_is_up(std::string_view name);

}  // namespace velnaro::wglinux
