#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/name_lookup.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// The tunnel's endpoint as configured: a host name (or a dotted address) and a port.
struct GatewayName {
    std::string host;
    std::uint16_t port = 0;
};

// Keeps the tunnel's endpoint on the address its gateway's name stands for, while the tunnel
// runs: on a thread of its own that sleeps kGatewayLookupInterval between rounds and does
// nothing else, so an idle tunnel stays asleep otherwise. The endpoint is changed in place,
// through the WireGuard library's WireGuardSetConfiguration (the peer's endpoint only: the
// interface, its keys, routes and counters stay).
class EndpointFollower {
  public:
    EndpointFollower(Runtime& runtime, const wireguard::WireGuardComponents& components,
                     GatewayName gateway, platform::NameLookup look_up);
    ~EndpointFollower();
    EndpointFollower(const EndpointFollower&) = delete;
    EndpointFollower& operator=(const EndpointFollower&) = delete;

    void start();
    // One round: reads the peer, looks the name up when due, moves the endpoint when the
    // answer says so. The thread calls it; tests call it directly.
    void follow_once();

  private:
    void run();

    Runtime& runtime_;
    const wireguard::WireGuardComponents& components_;
    GatewayName gateway_;
    platform::NameLookup look_up_;
    std::optional<std::chrono::steady_clock::time_point> last_lookup_;
    std::optional<std::uint32_t> refused_move_;  // said once, not every round
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// Starts following the gateway's name for the tunnel about to run, when there is one to
// follow and the library can change the endpoint; nothing otherwise (the journal says once
// why, when a name is left unfollowed).
std::unique_ptr<EndpointFollower> follow_gateway(Runtime& runtime,
                                                 const wireguard::WireGuardComponents& components,
                                                 const std::optional<GatewayName>& gateway);

}  // namespace velnaro
