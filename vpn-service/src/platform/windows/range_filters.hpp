#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/range_guard.hpp"

namespace velnaro::platform {

// The filters that hold the tunnel's ranges on Windows, described without the filtering
// platform's types so that the set can be read (and tested) on its own. wfp_engine.cpp turns
// each into an FWPM_FILTER0 of the service's provider and sublayer.

// An IPv4 network in host order ("10.250.0.0/16": 0x0AFA0000, 0xFFFF0000).
struct Ipv4Network {
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
    bool operator==(const Ipv4Network&) const = default;
};
std::optional<Ipv4Network> parse_ipv4_network(std::string_view text);

enum class FilterLayer {
    outbound_connect,  // FWPM_LAYER_ALE_AUTH_CONNECT_V4: a connection or a first datagram out
    inbound_accept,    // FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V4: a connection or datagram accepted
};
enum class FilterAction { block, permit };

// The conditions of one filter; the ones set must all match (different fields are ANDed).
struct FilterConditions {
    std::optional<Ipv4Network> remote;          // FWPM_CONDITION_IP_REMOTE_ADDRESS (mask)
    std::optional<Ipv4Network> local;           // FWPM_CONDITION_IP_LOCAL_ADDRESS (mask)
    std::optional<std::uint16_t> remote_port;   // FWPM_CONDITION_IP_REMOTE_PORT
    std::optional<std::uint8_t> protocol;       // FWPM_CONDITION_IP_PROTOCOL
    std::optional<std::uint64_t> interface_luid;  // FWPM_CONDITION_IP_LOCAL_INTERFACE
    bool operator==(const FilterConditions&) const = default;
};

// Within the service's sublayer the heaviest matching filter decides: the permits (the
// tunnel's interface, WireGuard's own packets) outweigh the blocks of the ranges.
inline constexpr std::uint8_t kBlockWeight = 1;
inline constexpr std::uint8_t kPermitWeight = 10;
inline constexpr std::uint8_t kUdp = 17;

// The name of the tunnel interface's outbound permit: without it the ranges are refused
// (the adapter did not exist when they were last held).
inline constexpr const char* kTunnelPermitOut = "permit the tunnel interface out";

struct FilterPlan {
    std::string name;  // shown by `netsh wfp show filters`
    FilterLayer layer = FilterLayer::outbound_connect;
    FilterAction action = FilterAction::block;
    std::uint8_t weight = kBlockWeight;
    FilterConditions conditions;
    bool operator==(const FilterPlan&) const = default;
};

// The gateway's address and port, when the endpoint names an IPv4 address (resolved by the
// caller when it names a host).
struct Ipv4Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};
std::optional<std::uint16_t> endpoint_port(std::string_view endpoint);

// The whole set for `tunnel`. `tunnel_luid` is the tunnel adapter's identity when it exists;
// without it nothing to the ranges is permitted at all (the ranges are closed until the
// adapter appears). Nothing when `tunnel` names a range or address that is not IPv4.
std::optional<std::vector<FilterPlan>> guard_filters(const GuardedTunnel& tunnel,
                                                     std::optional<std::uint64_t> tunnel_luid,
                                                     std::optional<Ipv4Endpoint> endpoint);

}  // namespace velnaro::platform
