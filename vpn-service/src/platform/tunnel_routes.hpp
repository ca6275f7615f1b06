#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/os_error.hpp"

namespace velnaro::platform {

// What keeps the tunnel's ranges inside the tunnel (Linux: policy rules and a routing table of
// the tunnel's own, which the tunnel service sets up and leaves in place when it ends, so
// that the ranges stay refused while it is down). The service only ever lets go of them.
class TunnelRoutes {
  public:
    virtual ~TunnelRoutes() = default;
    // Takes every rule and route of the tunnel away, whatever state it was left in (the
    // tunnel stopped, failed or killed); success when there is none.
    virtual OsResult<void> release() = 0;
    // The ranges ("10.250.0.0/16") refused right now because the tunnel is not up.
    virtual OsResult<std::vector<std::string>> blocked_ranges() = 0;
    // Whether the network interface `name` exists and is up (false when there is none); a
    // client tells from it whether a tunnel outlived the service. Windows: not read, an error.
    virtual OsResult<bool> interface_up(std::string_view name) = 0;
};

}  // namespace velnaro::platform
