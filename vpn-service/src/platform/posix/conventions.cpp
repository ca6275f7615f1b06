#include "platform/conventions.hpp"

#include "core/joined_text.hpp"
#include "core/version.hpp"

namespace velnaro::platform {

constexpr PathStyle kPathStyle = PathStyle::posix;
constexpr std::string_view kPipeFolder = "/run/velnaro/";
constexpr std::string_view kPipeSuffix = ".v1.sock";
constexpr std::string_view kServicePipeName = joined_text<kPipeFolder, kServiceName, kPipeSuffix>;
constexpr std::string_view kServicePipeKind = "socket";
constexpr std::string_view kWireGuardLibraryName = "wireguard.so";
constexpr std::string_view kTunnelLibraryName = "tunnel.so";
constexpr std::string_view kNoteFolder = "/run/wireguard/";
constexpr std::string_view kNoteSuffix = ".endpoint";
constexpr std::string_view kTunnelEndpointNotePath = joined_text<kNoteFolder, kTunnelName, kNoteSuffix>;
constexpr std::string_view kServiceAccountName = "root";

// Linux has no PROGRAMDATA by default; the service's data lives under /var/lib.
std::optional<std::string> program_data_fallback() {
    return std::string("/var/lib");
}

}  // namespace velnaro::platform
