#pragma once

#include <string>

namespace velnaro::platform {

// fsync of a directory, so that a name created or renamed in it survives a crash.
bool sync_directory(const std::string& directory);

}  // namespace velnaro::platform
