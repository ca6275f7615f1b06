#include "rtnetlink.hpp"

#include <net/if.h>

#include "platform/posix/tunnel_routing.hpp"

namespace velnaro::wglinux {

using platform::NetlinkRequest;

std::optional<Rtnetlink> Rtnetlink::open() {
    auto netlink = platform::RouteNetlink::open();
    if (!netlink)
        return std::nullopt;
    return Rtnetlink(std::move(*netlink));
}

int Rtnetlink::add_address(int interface_index, const Ipv4Cidr& address) {
    NetlinkRequest<ifaddrmsg> request(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL);
    request.body.ifa_family = AF_INET;
    request.body.ifa_prefixlen = address.prefix;
    request.body.ifa_index = static_cast<unsigned>(interface_index);
    request.add_ipv4(IFA_LOCAL, address.address);
    request.add_ipv4(IFA_ADDRESS, address.address);
    return netlink_.exchange(request.header);
}

int Rtnetlink::set_link_up(int interface_index, bool up) {
    NetlinkRequest<ifinfomsg> request(RTM_NEWLINK, 0);
    request.body.ifi_family = AF_UNSPEC;
    request.body.ifi_index = interface_index;
    request.body.ifi_flags = up ? IFF_UP : 0;
    request.body.ifi_change = IFF_UP;
    return netlink_.exchange(request.header);
}

int Rtnetlink::delete_link(int interface_index) {
    NetlinkRequest<ifinfomsg> request(RTM_DELLINK, 0);
    request.body.ifi_family = AF_UNSPEC;
    request.body.ifi_index = interface_index;
    return netlink_.exchange(request.header);
}

// What `ip route add NETWORK dev INTERFACE table 8278` asks for: a unicast route, scope
// link, owned by the administrator. The tunnel's rules send its ranges to that table.
int Rtnetlink::route(int interface_index, const Ipv4Cidr& network, bool add) {
    NetlinkRequest<rtmsg> request(add ? RTM_NEWROUTE : RTM_DELROUTE,
                                  add ? NLM_F_CREATE | NLM_F_EXCL : 0);
    request.body.rtm_family = AF_INET;
    request.body.rtm_dst_len = network.prefix;
    request.body.rtm_table = RT_TABLE_UNSPEC;
    request.body.rtm_protocol = RTPROT_BOOT;
    request.body.rtm_scope = RT_SCOPE_LINK;
    request.body.rtm_type = RTN_UNICAST;
    request.add_u32(RTA_TABLE, platform::kTunnelTable);
    request.add_ipv4(RTA_DST, network.network());
    request.add_u32(RTA_OIF, static_cast<std::uint32_t>(interface_index));
    return netlink_.exchange(request.header);
}

int Rtnetlink::add_route(int interface_index, const Ipv4Cidr& network) {
    return route(interface_index, network, true);
}

int Rtnetlink::delete_route(int interface_index, const Ipv4Cidr& network) {
    return route(interface_index, network, false);
}

}  // namespace velnaro::wglinux
