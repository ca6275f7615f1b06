#include "platform/paths.hpp"

#include "platform/conventions.hpp"

namespace velnaro {

bool is_absolute_path(std::string_view path) {
    return is_absolute_path(path, platform::kPathStyle);
}

std::string join_path(std::string_view directory, std::string_view name) {
    return join_path(directory, name, platform::kPathStyle);
}

std::optional<std::string> parent_directory(std::string_view path) {
    return parent_directory(path, platform::kPathStyle);
}

std::string_view file_name(std::string_view path) {
    return file_name(path, platform::kPathStyle);
}

}  // namespace velnaro
