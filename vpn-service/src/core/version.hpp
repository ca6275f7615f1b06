#pragma once

#include <string_view>

// kServiceVersion: the release's version, written by the build.
#include "core/release_version.hpp"

namespace velnaro {

inline constexpr std::string_view kServiceName = "VelnaroVpnService";
inline constexpr std::string_view kTunnelName = "VelnaroTunnel";

}  // namespace velnaro
