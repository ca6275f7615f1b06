#include "platform/posix/netlink.hpp"

#include <sys/socket.h>

#include <cerrno>

namespace velnaro::platform {
namespace {

constexpr int kTimeoutSeconds = 5;

}  // namespace

NetlinkAttributes::NetlinkAttributes(const nlmsghdr& message, std::size_t body_size) {
    if (message.nlmsg_len < NLMSG_LENGTH(body_size))
        return;
    auto remaining = static_cast<int>(message.nlmsg_len - NLMSG_LENGTH(body_size));
    const auto* attribute = reinterpret_cast<const rtattr*>(
        static_cast<const char*>(NLMSG_DATA(&message)) + NLMSG_ALIGN(body_size));
    for (; RTA_OK(attribute, remaining); attribute = RTA_NEXT(attribute, remaining)) {
        if (attribute->rta_type < kKnown)
            found_[attribute->rta_type] = attribute;
    }
}

std::optional<std::uint32_t> NetlinkAttributes::u32(std::uint16_t type) const {
    const rtattr* attribute = type < kKnown ? found_[type] : nullptr;
    if (attribute == nullptr || RTA_PAYLOAD(attribute) < sizeof(std::uint32_t))
        return std::nullopt;
    std::uint32_t value = 0;
    std::memcpy(&value, RTA_DATA(attribute), sizeof value);
    return value;
}

std::optional<std::uint32_t> NetlinkAttributes::ipv4(std::uint16_t type) const {
    const auto value = u32(type);
    return value ? std::optional(ntohl(*value)) : std::nullopt;
}

std::optional<RouteNetlink> RouteNetlink::open() {
    OwnedFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd)
        return std::nullopt;
    const timeval timeout{kTimeoutSeconds, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return std::nullopt;
    return RouteNetlink(std::move(fd));
}

int RouteNetlink::send(nlmsghdr& request) {
    request.nlmsg_seq = ++sequence_;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const auto sent = ::sendto(fd_.get(), &request, request.nlmsg_len, 0,
                               reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    return sent == static_cast<ssize_t>(request.nlmsg_len) ? 0 : errno;
}

// Reads until the message that ends the request: its acknowledgement (the error it
// carries, 0 for none) or, for a dump, NLMSG_DONE; every other message of the request goes
// to `each`.
int RouteNetlink::dump(nlmsghdr& request, const std::function<void(const nlmsghdr&)>& each) {
    if (const int error = send(request); error != 0)
        return error;
    alignas(nlmsghdr) char answer[16384];  // a dump part is at most a page or 8 KiB
    while (true) {
        const ssize_t received = ::recv(fd_.get(), answer, sizeof answer, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return received < 0 ? errno : EPROTO;
        auto remaining = static_cast<unsigned>(received);
        for (auto* reply = reinterpret_cast<nlmsghdr*>(answer); NLMSG_OK(reply, remaining);
             reply = NLMSG_NEXT(reply, remaining)) {
            if (reply->nlmsg_seq != sequence_)
                continue;
            if (reply->nlmsg_type == NLMSG_DONE)
                return 0;
            if (reply->nlmsg_type == NLMSG_ERROR) {
                if (reply->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
                    return EPROTO;
                return -static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error;
            }
            if (each)
                each(*reply);
        }
    }
}

int RouteNetlink::exchange(nlmsghdr& request) {
    request.nlmsg_flags |= NLM_F_ACK;
    return dump(request, {});
}

}  // namespace velnaro::platform
