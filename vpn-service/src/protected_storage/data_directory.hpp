#pragma once

#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "platform/platform.hpp"

namespace velnaro {

// <PROGRAMDATA>/Velnaro/vpn as configured, neither created nor canonicalised (lets a caller
// tell beforehand whether the directory is already there).
Outcome<std::string> data_directory_path(platform::Platform& platform);
// <PROGRAMDATA>/Velnaro/vpn, created if need be, in canonical form. A refusal keeps the
// system's error.
Outcome<std::string> resolve_data_directory(platform::Platform& platform);
// Restricts a file or directory to the local system account and the administrators.
Outcome<void> secure_path(platform::Platform& platform, std::string_view path);

}  // namespace velnaro
