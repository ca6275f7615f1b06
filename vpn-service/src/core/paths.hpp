#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velnaro {

// The two path grammars. Each is pure text handling, so both are available on every system;
// the platform layer names the one of the system it runs on (platform/paths.hpp).
enum class PathStyle : std::uint8_t { windows, posix };

// Windows: a drive letter, a colon and a root separator, or a UNC, device or verbatim prefix.
// POSIX: a leading "/".
bool is_absolute_path(std::string_view path, PathStyle style);

// Joins one name onto a directory with the style's separator.
std::string join_path(std::string_view directory, std::string_view name, PathStyle style);

// The directory part of a path, or nothing when the path has no parent.
std::optional<std::string> parent_directory(std::string_view path, PathStyle style);

// The last component of a path.
std::string_view file_name(std::string_view path, PathStyle style);

}  // namespace velnaro
