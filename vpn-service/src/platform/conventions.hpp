#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/paths.hpp"

// Names and rules that differ between the two systems. Each implementation (posix/, windows/)
// defines them, so portable code never tests which system it is built for.
namespace velnaro::platform {

extern const PathStyle kPathStyle;

// Where clients find the service: a named pipe on Windows, a Unix socket under /run on Linux.
extern const std::string_view kServicePipeName;
// What that is called, in words for people: "pipe" or "socket".
extern const std::string_view kServicePipeKind;

// File names of the two WireGuard libraries inside the component directory.
extern const std::string_view kWireGuardLibraryName;
extern const std::string_view kTunnelLibraryName;

// Where the running tunnel notes its gateway's name and the address in use ("NAME ADDRESS:PORT"
// on one line, readable by every account; only while the endpoint is a name), or empty where
// the system keeps no such note (Windows).
extern const std::string_view kTunnelEndpointNotePath;

// The account the service runs as, in words for people.
extern const std::string_view kServiceAccountName;

// Where PROGRAMDATA points when the variable is missing, or nothing when its absence is an
// error of the system.
std::optional<std::string> program_data_fallback();

}  // namespace velnaro::platform
