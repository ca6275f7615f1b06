#pragma once

#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "identity/device_identity.hpp"
#include "platform/platform.hpp"

namespace velnaro {

// The indented form of metadata.json: five lines, two-space indentation, no final newline.
Outcome<std::string> format_metadata(const PublicIdentity& identity);

// Replaces metadata.json by deleting it and renaming a freshly written temporary file onto
// its name. A temporary file left by a failure stays; its random name never collides.
Outcome<void> write_metadata(platform::Platform& platform, std::string_view path,
                      const PublicIdentity& identity);

// Strict reading: at most 4096 bytes, exactly the three members in any order, nothing else.
Outcome<PublicIdentity> read_metadata(platform::Platform& platform, std::string_view path);
Outcome<PublicIdentity> parse_metadata(std::string_view text);

}  // namespace velnaro
