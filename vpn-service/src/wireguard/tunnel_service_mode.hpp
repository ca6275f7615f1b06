#pragma once

#include <optional>
#include <string_view>

#include "core/result.hpp"
#include "runtime/runtime.hpp"

namespace velnaro {

// Hands the sealed configuration file to the tunnel library; returns when the tunnel ends.
Status run_tunnel_service(Runtime& runtime, std::string_view config_path);

struct ComponentSelfTestResult {
    bool success = false;
    std::optional<DetailCode> detail_code;
};
ComponentSelfTestResult component_self_test(Runtime& runtime);

}  // namespace velnaro
