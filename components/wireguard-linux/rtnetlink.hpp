#pragma once

#include <optional>

#include "addresses.hpp"
#include "platform/posix/netlink.hpp"

namespace velnaro::wglinux {

// The interface's addresses, link state and routes over one route-netlink socket. Every
// operation returns 0 or the kernel's error number.
class Rtnetlink {
  public:
    static std::optional<Rtnetlink> open();

    int add_address(int interface_index, const Ipv4Cidr& address);
    int set_link_up(int interface_index, bool up);
    // Routes of the tunnel's own table (see platform/posix/tunnel_routing.hpp).
    int add_route(int interface_index, const Ipv4Cidr& network);
    int delete_route(int interface_index, const Ipv4Cidr& network);
    int delete_link(int interface_index);

    platform::RouteNetlink& socket() { return netlink_; }

  private:
    explicit Rtnetlink(platform::RouteNetlink netlink) : netlink_(std::move(netlink)) {}
    int route(int interface_index, const Ipv4Cidr& network, bool add);

    platform::RouteNetlink netlink_;
};

}  // namespace velnaro::wglinux
