#pragma once

#include <string_view>

namespace velnaro {

// Where clients find the service. On Linux the pipe is a Unix socket under /run.
#ifdef _WIN32
inline constexpr std::string_view kServicePipeName = "\\\\.\\pipe\\VelnaroVpnService.v1";
#else
inline constexpr std::string_view kServicePipeName = "/run/velnaro/VelnaroVpnService.v1.sock";
#endif

}  // namespace velnaro
