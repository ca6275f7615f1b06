#pragma once

#include <optional>
#include <string>

#include "core/failure.hpp"
#include "wireguard/runtime.hpp"
#include "tunnel_config/tunnel_config.hpp"

namespace velnaro {

struct TunnelConfigSelfTestResult {
    bool success = false;
    bool encrypted_only = false;  // always equal to success
    std::optional<Failure> failure;

    bool operator==(const TunnelConfigSelfTestResult&) const = default;
};

// A configuration that passes validation, with a documentation-only gateway host.
TunnelConfig sample_tunnel_config();

// Stores the sample configuration in a scratch directory of its own, reads it back and
// checks that only the sealed file was left; the scratch directory is always removed.
TunnelConfigSelfTestResult tunnel_config_self_test(Runtime& runtime);

// Compact JSON with the members in their fixed order; nothing when it cannot be written.
std::optional<std::string> tunnel_config_self_test_json(const TunnelConfigSelfTestResult& result);

}  // namespace velnaro
