#include "platform/conventions.hpp"

#include "core/joined_text.hpp"
#include "core/version.hpp"

namespace velnaro::platform {

constexpr PathStyle kPathStyle = PathStyle::windows;
constexpr std::string_view kPipeFolder = "\\\\.\\pipe\\";
constexpr std::string_view kPipeSuffix = ".v1";
constexpr std::string_view kServicePipeName = joined_text<kPipeFolder, kServiceName, kPipeSuffix>;
constexpr std::string_view kServicePipeKind = "pipe";
constexpr std::string_view kWireGuardLibraryName = "wireguard.dll";
constexpr std::string_view kTunnelLibraryName = "tunnel.dll";
constexpr std::string_view kTunnelEndpointNotePath = "";
constexpr std::string_view kServiceAccountName = "the local system account";

// Windows always sets PROGRAMDATA for services, so its absence is an error.
std::optional<std::string> program_data_fallback() {
    return std::nullopt;
}

}  // namespace velnaro::platform
