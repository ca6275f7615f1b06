#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velnaro {

// The absolute-path rule of the platform. Windows: a drive letter, a colon and a root
// separator, or a UNC, device or verbatim prefix. Linux: a leading "/".
bool is_absolute_path(std::string_view path);

// Joins one name onto a directory with the platform's separator.
std::string join_path(std::string_view directory, std::string_view name);

// The directory part of a path, or nothing when the path has no parent.
std::optional<std::string> parent_directory(std::string_view path);

// The last component of a path.
std::string_view file_name(std::string_view path);

}  // namespace velnaro
