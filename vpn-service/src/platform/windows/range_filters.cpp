#include "platform/windows/range_filters.hpp"

#include <charconv>

namespace velnaro::platform {
namespace {

std::optional<std::uint32_t> number(std::string_view text, std::uint32_t limit) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > limit)
        return std::nullopt;
    return value;
}

std::optional<std::uint32_t> parse_ipv4(std::string_view text) {
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const auto dot = part == 3 ? text.size() : text.find('.');
        if (dot == std::string_view::npos)
            return std::nullopt;
        const auto octet = number(text.substr(0, dot), 255);
        if (!octet)
            return std::nullopt;
        address = (address << 8) | *octet;
        text.remove_prefix(part == 3 ? dot : dot + 1);
    }
    return address;
}

FilterConditions remote_in(Ipv4Network network) {
    FilterConditions conditions;
    conditions.remote = network;
    return conditions;
}

FilterConditions local_is(std::uint32_t address) {
    FilterConditions conditions;
    conditions.local = Ipv4Network{address, 0xFFFFFFFF};
    return conditions;
}

FilterConditions on_interface(std::uint64_t luid) {
    FilterConditions conditions;
    conditions.interface_luid = luid;
    return conditions;
}

FilterConditions wireguard_to(Ipv4Endpoint endpoint) {
    FilterConditions conditions;
    conditions.remote = Ipv4Network{endpoint.address, 0xFFFFFFFF};
    conditions.remote_port = endpoint.port;
    conditions.protocol = kUdp;
    return conditions;
}

FilterPlan filter(std::string name, FilterLayer layer, FilterAction action,
                  FilterConditions conditions) {
    const auto weight = action == FilterAction::permit ? kPermitWeight : kBlockWeight;
    return FilterPlan{std::move(name), layer, action, weight, conditions};
}

}  // namespace

std::optional<Ipv4Network> parse_ipv4_network(std::string_view text) {
    const auto slash = text.find('/');
    const auto address = parse_ipv4(text.substr(0, slash));
    const auto length = slash == std::string_view::npos ? std::optional<std::uint32_t>(32)
                                                        : number(text.substr(slash + 1), 32);
    if (!address || !length)
        return std::nullopt;
    const std::uint32_t mask = *length == 0 ? 0 : ~std::uint32_t{0} << (32 - *length);
    return Ipv4Network{*address & mask, mask};
}

std::optional<std::uint16_t> endpoint_port(std::string_view endpoint) {
    const auto colon = endpoint.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    const auto port = number(endpoint.substr(colon + 1), 65535);
    if (!port || *port == 0)
        return std::nullopt;
    return static_cast<std::uint16_t>(*port);
}

std::optional<std::vector<FilterPlan>> guard_filters(const GuardedTunnel& tunnel,
                                                     std::optional<std::uint64_t> tunnel_luid,
                                                     std::optional<Ipv4Endpoint> endpoint) {
    std::vector<FilterPlan> filters;
    const auto out = FilterLayer::outbound_connect;
    const auto in = FilterLayer::inbound_accept;
    for (const auto& text : tunnel.ranges) {
        const auto range = parse_ipv4_network(text);
        if (!range)
            return std::nullopt;
        // Out: nothing reaches the range, whatever interface, route or bound socket would
        // carry it; the permits below let the tunnel's own interface through.
        filters.push_back(filter("block to " + text, out, FilterAction::block, remote_in(*range)));
        // In: nothing from the range is accepted; a host of the local network posing as the
        // range is refused, and the tunnel's own traffic passes by its permit.
        filters.push_back(filter("block from " + text, in, FilterAction::block, remote_in(*range)));
    }
    if (!tunnel.address.empty()) {
        const auto address = parse_ipv4_network(tunnel.address);
        if (!address)
            return std::nullopt;
        // In: nothing addressed to the tunnel's own address arrives by another interface.
        filters.push_back(filter("block to the tunnel address " + tunnel.address, in,
                                 FilterAction::block,
                                 local_is(address->address)));
    }
    if (tunnel_luid) {
        // The tunnel's interface carries what the blocks above refuse everywhere else. The
        // permit matches every address, but this sublayer blocks nothing else to permit.
        filters.push_back(filter(kTunnelPermitOut, out, FilterAction::permit,
                                 on_interface(*tunnel_luid)));
        filters.push_back(filter("permit the tunnel interface in", in, FilterAction::permit,
                                 on_interface(*tunnel_luid)));
    }
    if (endpoint) {
        // WireGuard's own packets to and from the gateway (UDP, its address and port only),
        // which leave by the local network even when the gateway lies in a range. Nothing
        // else to that address is permitted.
        const auto gateway = wireguard_to(*endpoint);
        filters.push_back(filter("permit WireGuard to " + tunnel.endpoint, out,
                                 FilterAction::permit, gateway));
        filters.push_back(filter("permit WireGuard from " + tunnel.endpoint, in,
                                 FilterAction::permit, gateway));
    }
    return filters;
}

}  // namespace velnaro::platform
