#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace velnaro::testing_support {

// A new folder of this account under the temporary folder, named `stem` plus a random
// suffix; empty when none could be made.
inline std::string scratch_folder(std::string_view stem) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

}  // namespace velnaro::testing_support
