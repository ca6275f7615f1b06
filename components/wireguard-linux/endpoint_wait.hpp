#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/name_lookup.hpp"

namespace velnaro::wglinux {

struct EndpointWait {
    std::optional<std::uint32_t> address;  // host byte order
    bool stopped = false;                  // a stop request ended the wait
};

// True when a stop request came during the pause.
using StopAwarePause = std::function<bool(std::chrono::milliseconds)>;

// The endpoint's first IPv4 address. A lookup that fails for a temporary reason (no network
// yet, no answer from the resolver) is tried again with growing pauses for about two minutes,
// so a tunnel started at boot or on waking comes up once the network does; a name that does
// not exist ends the wait at once, so a typo is told immediately.
EndpointWait wait_for_endpoint(const std::string& host, const platform::NameLookup& look_up,
                               const StopAwarePause& pause);

}  // namespace velnaro::wglinux
