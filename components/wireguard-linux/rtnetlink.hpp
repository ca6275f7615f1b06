#pragma once

#include <optional>

#include "addresses.hpp"
#include "platform/posix/owned_fd.hpp"

namespace velnaro::wglinux {

// One route-netlink socket for the interface's addresses, link state and routes: each change
// is one message and its acknowledgement, where a command per change would start a process
// and wait for its end. Every operation returns 0 or the kernel's error number.
class Rtnetlink {
  public:
    static std::optional<Rtnetlink> open();

    int add_address(int interface_index, const Ipv4Cidr& address);
    int set_link_up(int interface_index, bool up);
    int add_route(int interface_index, const Ipv4Cidr& network);
    int delete_route(int interface_index, const Ipv4Cidr& network);
    int delete_link(int interface_index);

  private:
    explicit Rtnetlink(platform::OwnedFd fd) : fd_(std::move(fd)) {}
    int route(int interface_index, const Ipv4Cidr& network, bool add);
    int exchange(void* message, unsigned length);

    platform::OwnedFd fd_;
    unsigned sequence_ = 0;
};

}  // namespace velnaro::wglinux
