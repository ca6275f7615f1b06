#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "core/joined_text.hpp"
#include "core/failure.hpp"
#include "core/version.hpp"
#include "wireguard/endpoint_follower.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// The sealed configuration file in the data directory: the service writes it and registers
// the tunnel service on it, and the tunnel service mode accepts no file of another name.
inline constexpr std::string_view kSealedConfigSuffix = ".conf.dpapi";
inline constexpr std::string_view kTunnelConfigFileName = joined_text<kTunnelName, kSealedConfigSuffix>;

// Once the path is accepted and before any library is loaded, the file's content is checked
// by `check_content`, whose failure ends the mode with its code.
using ConfigContentCheck = std::function<Outcome<void>()>;

// The endpoint of the accepted file, asked for after the content check.
using GatewaySource = std::function<std::optional<GatewayName>()>;

// Hands the sealed configuration file to the tunnel library; returns when the tunnel ends.
// Meanwhile the gateway's name, when the endpoint is one, is followed (EndpointFollower).
Outcome<void> run_tunnel_service(Runtime& runtime, std::string_view config_path,
                          const ConfigContentCheck& check_content,
                          const GatewaySource& gateway = {});

struct ComponentSelfTestResult {
    bool success = false;
    std::optional<Failure> failure;
};
ComponentSelfTestResult component_self_test(Runtime& runtime);

}  // namespace velnaro
