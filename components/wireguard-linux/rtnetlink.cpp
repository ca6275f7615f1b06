#include "rtnetlink.hpp"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace velnaro::wglinux {
namespace {

constexpr int kTimeoutSeconds = 5;

// A request: its header, the family-specific part, and room for the few attributes used here.
template <class Body>
struct Request {
    nlmsghdr header;
    Body body;
    char attributes[64];
};

template <class Body>
void begin(Request<Body>& request, std::uint16_t type, std::uint16_t flags) {
    std::memset(&request, 0, sizeof request);
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(Body));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
}

template <class Body>
void add_attribute(Request<Body>& request, std::uint16_t type, const void* data, std::size_t size) {
    auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) +
                                                NLMSG_ALIGN(request.header.nlmsg_len));
    attribute->rta_type = type;
    attribute->rta_len = static_cast<std::uint16_t>(RTA_LENGTH(size));
    std::memcpy(RTA_DATA(attribute), data, size);
    request.header.nlmsg_len =
        NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
}

template <class Body>
void add_ipv4(Request<Body>& request, std::uint16_t type, std::uint32_t host_order) {
    const std::uint32_t network_order = htonl(host_order);
    add_attribute(request, type, &network_order, sizeof network_order);
}

}  // namespace

std::optional<Rtnetlink> Rtnetlink::open() {
    platform::OwnedFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd)
        return std::nullopt;
    const timeval timeout{kTimeoutSeconds, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return std::nullopt;
    return Rtnetlink(std::move(fd));
}

// Sends one request and reads until its acknowledgement: 0, or the error it carries.
int Rtnetlink::exchange(void* message, unsigned length) {
    auto* header = static_cast<nlmsghdr*>(message);
    header->nlmsg_seq = ++sequence_;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd_.get(), message, length, 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(length)) {
        return errno;
    }
    alignas(nlmsghdr) char answer[8192];
    while (true) {
        const ssize_t received = ::recv(fd_.get(), answer, sizeof answer, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return received < 0 ? errno : EPROTO;
        auto remaining = static_cast<unsigned>(received);
        for (auto* reply = reinterpret_cast<nlmsghdr*>(answer); NLMSG_OK(reply, remaining);
             reply = NLMSG_NEXT(reply, remaining)) {
            if (reply->nlmsg_seq != sequence_ || reply->nlmsg_type != NLMSG_ERROR)
                continue;
            if (reply->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
                return EPROTO;
            return -static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error;
        }
    }
}

int Rtnetlink::add_address(int interface_index, const Ipv4Cidr& address) {
    Request<ifaddrmsg> request;
    begin(request, RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL);
    request.body.ifa_family = AF_INET;
    request.body.ifa_prefixlen = address.prefix;
    request.body.ifa_index = static_cast<unsigned>(interface_index);
    add_ipv4(request, IFA_LOCAL, address.address);
    add_ipv4(request, IFA_ADDRESS, address.address);
    return exchange(&request, request.header.nlmsg_len);
}

int Rtnetlink::set_link_up(int interface_index, bool up) {
    Request<ifinfomsg> request;
    begin(request, RTM_NEWLINK, 0);
    request.body.ifi_family = AF_UNSPEC;
    request.body.ifi_index = interface_index;
    request.body.ifi_flags = up ? IFF_UP : 0;
    request.body.ifi_change = IFF_UP;
    return exchange(&request, request.header.nlmsg_len);
}

int Rtnetlink::delete_link(int interface_index) {
    Request<ifinfomsg> request;
    begin(request, RTM_DELLINK, 0);
    request.body.ifi_family = AF_UNSPEC;
    request.body.ifi_index = interface_index;
    return exchange(&request, request.header.nlmsg_len);
}

// What `ip route add NETWORK dev INTERFACE` asks for: a unicast route of the main table,
// scope link, owned by the administrator.
int Rtnetlink::route(int interface_index, const Ipv4Cidr& network, bool add) {
    Request<rtmsg> request;
    begin(request, add ? RTM_NEWROUTE : RTM_DELROUTE, add ? NLM_F_CREATE | NLM_F_EXCL : 0);
    request.body.rtm_family = AF_INET;
    request.body.rtm_dst_len = network.prefix;
    request.body.rtm_table = RT_TABLE_MAIN;
    request.body.rtm_protocol = RTPROT_BOOT;
    request.body.rtm_scope = RT_SCOPE_LINK;
    request.body.rtm_type = RTN_UNICAST;
    add_ipv4(request, RTA_DST, network.network());
    const auto index = static_cast<std::uint32_t>(interface_index);
    add_attribute(request, RTA_OIF, &index, sizeof index);
    return exchange(&request, request.header.nlmsg_len);
}

int Rtnetlink::add_route(int interface_index, const Ipv4Cidr& network) {
    return route(interface_index, network, true);
}

int Rtnetlink::delete_route(int interface_index, const Ipv4Cidr& network) {
    return route(interface_index, network, false);
}

}  // namespace velnaro::wglinux
