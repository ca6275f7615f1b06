#pragma once

#include <string_view>

// kServiceVersion: the release's version, written by the build.
#include "core/release_version.hpp"

namespace velnaro {

// The service's name, and the tunnel's: every other name made from them (units, pipes,
// files, the adapter and the interface) is joined from these (core/joined_text.hpp).
inline constexpr std::string_view kServiceName = "VelnaroVpnService";
inline constexpr std::string_view kTunnelName = "VelnaroTunnel";

}  // namespace velnaro
