#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "core/result.hpp"
#include "runtime/runtime.hpp"

namespace velnaro {

// Once the path is accepted and before any library is loaded, the file's content is checked
// by `check_content`, whose failure ends the mode with its code.
using ConfigContentCheck = std::function<Status()>;

// Hands the sealed configuration file to the tunnel library; returns when the tunnel ends.
Status run_tunnel_service(Runtime& runtime, std::string_view config_path,
                          const ConfigContentCheck& check_content);

struct ComponentSelfTestResult {
    bool success = false;
    std::optional<DetailCode> detail_code;
};
ComponentSelfTestResult component_self_test(Runtime& runtime);

}  // namespace velnaro
