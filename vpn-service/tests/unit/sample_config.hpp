#pragma once

#include <string>

#include "tunnel_config/tunnel_config.hpp"

namespace velnaro {

// A configuration every rule accepts: private address and route, a well-formed key.
inline TunnelConfig accepted_tunnel_config() {
    return TunnelConfig{1,
                        "10.250.10.21/32",
                        std::string(43, 'A') + "=",
                        "gw.example.net",
                        51820,
                        {"10.250.0.0/16"},
                        25};
}

}  // namespace velnaro
