#pragma once

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>

#include "platform/posix/owned_fd.hpp"

namespace velnaro::platform {

// One route-netlink request: its header, the family-specific part, and room for the few
// attributes an address, route or rule needs.
template <class Body>
struct NetlinkRequest {
    nlmsghdr header;
    Body body;
    char attributes[96];

    NetlinkRequest(std::uint16_t type, std::uint16_t flags) {
        std::memset(this, 0, sizeof *this);
        header.nlmsg_len = NLMSG_LENGTH(sizeof(Body));
        header.nlmsg_type = type;
        header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
    }

    void add(std::uint16_t type, const void* data, std::size_t size) {
        auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(this) +
                                                    NLMSG_ALIGN(header.nlmsg_len));
        attribute->rta_type = type;
        attribute->rta_len = static_cast<std::uint16_t>(RTA_LENGTH(size));
        std::memcpy(RTA_DATA(attribute), data, size);
        header.nlmsg_len = NLMSG_ALIGN(header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
    }
    void add_u32(std::uint16_t type, std::uint32_t value) { add(type, &value, sizeof value); }
    // `host_order` goes on the wire in network byte order.
    void add_ipv4(std::uint16_t type, std::uint32_t host_order) { add_u32(type, htonl(host_order)); }
};

// The attributes of a received route or rule message, by type (the last one of each type).
class NetlinkAttributes {
  public:
    NetlinkAttributes(const nlmsghdr& message, std::size_t body_size);
    std::optional<std::uint32_t> u32(std::uint16_t type) const;
    // An IPv4 address attribute, in host byte order.
    std::optional<std::uint32_t> ipv4(std::uint16_t type) const;

  private:
    static constexpr std::uint16_t kKnown = 32;
    const rtattr* found_[kKnown] = {};
};

// A route-netlink socket: a change is one message and its acknowledgement, where a command
// per change would start a process and wait for its end. Operations return 0 or the
// kernel's error number.
class RouteNetlink {
  public:
    static std::optional<RouteNetlink> open();

    // Sends a request (acknowledgement asked for) and waits for that acknowledgement.
    int exchange(nlmsghdr& request);
    // Sends a dump request and hands every message of the answer to `each` until it ends.
    int dump(nlmsghdr& request, const std::function<void(const nlmsghdr&)>& each);

  private:
    explicit RouteNetlink(OwnedFd fd) : fd_(std::move(fd)) {}
    int send(nlmsghdr& request);

    OwnedFd fd_;
    unsigned sequence_ = 0;
};

}  // namespace velnaro::platform
