#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/paths.hpp"

// The path rules of the system the program runs on.
namespace velnaro {

bool is_absolute_path(std::string_view path);
std::string join_path(std::string_view directory, std::string_view name);
std::optional<std::string> parent_directory(std::string_view path);
std::string_view file_name(std::string_view path);

}  // namespace velnaro
