#include "platform/conventions.hpp"

namespace velnaro::platform {

constexpr PathStyle kPathStyle = PathStyle::posix;
constexpr std::string_view kServicePipeName = "/run/velnaro/VelnaroVpnService.v1.sock";
constexpr std::string_view kServicePipeKind = "socket";
constexpr std::string_view kWireGuardLibraryName = "wireguard.so";
constexpr std::string_view kTunnelLibraryName = "tunnel.so";
constexpr std::string_view kTunnelEndpointNotePath = "/run/wireguard/VelnaroTunnel.endpoint";
constexpr std::string_view kServiceAccountName = "root";

// Linux has no PROGRAMDATA by default; the service's data lives under /var/lib.
std::optional<std::string> program_data_fallback() {
    return std::string("/var/lib");
}

}  // namespace velnaro::platform
