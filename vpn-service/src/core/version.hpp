#pragma once

#include <string_view>

namespace velnaro {

inline constexpr std::string_view kServiceVersion = "0.1.0";
inline constexpr std::string_view kServiceName = "VelnaroVpnService";
inline constexpr std::string_view kTunnelName = "VelnaroTunnel";

}  // namespace velnaro
