#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/utf.hpp"

namespace velnaro::platform {

// A path as the C library takes it. Refused when it holds a zero byte (the kernel would see
// a shorter path than was meant) or is not UTF-8, so that both platforms accept the same paths.
inline std::optional<std::string> to_os_path(std::string_view path) {
    if (path.empty() || path.find('\0') != std::string_view::npos || !is_valid_utf8(path)) {
        return std::nullopt;
    }
    return std::string(path);
}

}  // namespace velnaro::platform
