#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/detail_code.hpp"
#include "core/failure.hpp"
#include "platform/platform.hpp"

namespace velnaro {

// How one secret file is put in place.
struct SecretFileWrite {
    std::string_view path;       // the final name
    std::string_view temporary;  // a fresh sibling; the caller's naming keeps scans away from it
    bool replace = false;        // false: `path` must not exist yet, and is never overwritten
    DetailCode write_failed;     // creating, writing or flushing the temporary failed
    DetailCode move_failed;      // the temporary could not take the final name
};

// Writes `bytes` so that `path` holds either its old content or all of the new, even after
// a crash at any step: a new temporary file, every byte written and flushed, the file
// restricted to the service, then moved onto `path` with its folder flushed. The temporary
// file is deleted on any failure. A restriction that fails returns secure_path's code. A
// failure carries the system's error for the caller to log.
Outcome<void> write_secret_file(platform::Platform& platform, const SecretFileWrite& write,
                                std::span<const std::uint8_t> bytes);


}  // namespace velnaro
