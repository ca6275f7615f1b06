#include "platform/posix/tunnel_routing.hpp"

#include <linux/fib_rules.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace velnaro::platform {
namespace {

enum class RuleKind { mark, lookup, refuse };

struct Rule {
    RuleKind kind = RuleKind::mark;
    Ipv4Range range;  // not for the mark's rule
    bool operator==(const Rule&) const = default;
};

std::vector<Rule> rules_for(const std::vector<Ipv4Range>& ranges) {
    std::vector<Rule> rules{{RuleKind::mark, {}}};
    for (const auto& range : ranges)
        rules.push_back({RuleKind::refuse, range});
    for (const auto& range : ranges)
        rules.push_back({RuleKind::lookup, range});
    return rules;
}

// What `ip rule add|del` sends: "fwmark 0x2056 lookup main", "to RANGE lookup 8278" and
// "to RANGE unreachable", each at its own priority.
NetlinkRequest<fib_rule_hdr> rule_request(std::uint16_t type, std::uint16_t flags,
                                          const Rule& rule) {
    NetlinkRequest<fib_rule_hdr> request(type, flags);
    request.body.family = AF_INET;
    switch (rule.kind) {
        case RuleKind::mark:
            request.body.action = FR_ACT_TO_TBL;
            request.body.table = RT_TABLE_MAIN;
            request.add_u32(FRA_PRIORITY, kMarkRulePriority);
            request.add_u32(FRA_FWMARK, kTunnelMark);
            request.add_u32(FRA_FWMASK, 0xFFFFFFFF);
            return request;
        case RuleKind::lookup:
            request.body.action = FR_ACT_TO_TBL;
            request.add_u32(FRA_TABLE, kTunnelTable);
            request.add_u32(FRA_PRIORITY, kRangeRulePriority);
            break;
        case RuleKind::refuse:
            request.body.action = FR_ACT_UNREACHABLE;
            request.add_u32(FRA_PRIORITY, kRefuseRulePriority);
            break;
    }
    request.body.dst_len = rule.range.prefix;
    if (rule.range.prefix != 0)
        request.add_ipv4(FRA_DST, rule.range.network);
    return request;
}

// One of the tunnel's rules, told by its priority and what it does: a foreign rule that
// happens to sit at the same priority is never taken for ours.
std::optional<Rule> tunnel_rule_of(const nlmsghdr& message) {
    if (message.nlmsg_type != RTM_NEWRULE)
        return std::nullopt;
    const auto& header = *static_cast<const fib_rule_hdr*>(NLMSG_DATA(&message));
    const NetlinkAttributes attributes(message, sizeof header);
    const auto priority = attributes.u32(FRA_PRIORITY).value_or(0);
    const auto table = attributes.u32(FRA_TABLE).value_or(header.table);
    const Ipv4Range range{attributes.ipv4(FRA_DST).value_or(0), header.dst_len};
    if (priority == kMarkRulePriority && header.action == FR_ACT_TO_TBL &&
        attributes.u32(FRA_FWMARK) == kTunnelMark) {
        return Rule{RuleKind::mark, {}};
    }
    if (priority == kRangeRulePriority && header.action == FR_ACT_TO_TBL && table == kTunnelTable)
        return Rule{RuleKind::lookup, range};
    if (priority == kRefuseRulePriority && header.action == FR_ACT_UNREACHABLE)
        return Rule{RuleKind::refuse, range};
    return std::nullopt;
}

int read_rules(RouteNetlink& netlink, std::vector<Rule>& rules) {
    NetlinkRequest<fib_rule_hdr> request(RTM_GETRULE, NLM_F_DUMP);
    request.body.family = AF_INET;
    return netlink.dump(request.header, [&](const nlmsghdr& message) {
        if (auto rule = tunnel_rule_of(message))
            rules.push_back(*rule);
    });
}

// A route of the tunnel's table, with what deleting it takes.
struct TableRoute {
    Ipv4Range range;
    std::uint8_t type = RTN_UNICAST;
    std::optional<std::uint32_t> metric;
    std::optional<std::uint32_t> interface_index;
};

int read_table(RouteNetlink& netlink, std::vector<TableRoute>& routes) {
    NetlinkRequest<rtmsg> request(RTM_GETROUTE, NLM_F_DUMP);
    request.body.rtm_family = AF_INET;
    return netlink.dump(request.header, [&](const nlmsghdr& message) {
        if (message.nlmsg_type != RTM_NEWROUTE)
            return;
        const auto& header = *static_cast<const rtmsg*>(NLMSG_DATA(&message));
        const NetlinkAttributes attributes(message, sizeof header);
        if (attributes.u32(RTA_TABLE).value_or(header.rtm_table) != kTunnelTable)
            return;
        routes.push_back({{attributes.ipv4(RTA_DST).value_or(0), header.rtm_dst_len},
                          header.rtm_type,
                          attributes.u32(RTA_PRIORITY),
                          attributes.u32(RTA_OIF)});
    });
}

int delete_route(RouteNetlink& netlink, const TableRoute& route) {
    NetlinkRequest<rtmsg> request(RTM_DELROUTE, 0);
    request.body.rtm_family = AF_INET;
    request.body.rtm_dst_len = route.range.prefix;
    request.body.rtm_table = RT_TABLE_UNSPEC;
    request.body.rtm_scope = RT_SCOPE_NOWHERE;
    request.body.rtm_type = route.type;
    request.add_u32(RTA_TABLE, kTunnelTable);
    if (route.range.prefix != 0)
        request.add_ipv4(RTA_DST, route.range.network);
    if (route.metric)
        request.add_u32(RTA_PRIORITY, *route.metric);
    if (route.interface_index)
        request.add_u32(RTA_OIF, *route.interface_index);
    return netlink.exchange(request.header);
}

// A rule or route that went meanwhile (its interface vanished, a second release) is gone as
// wanted; one already there is there as wanted.
bool settled(int error) {
    return error == 0 || error == ENOENT || error == ESRCH || error == EEXIST;
}

int change_rule(RouteNetlink& netlink, const Rule& rule, bool add) {
    auto request = add ? rule_request(RTM_NEWRULE, NLM_F_CREATE | NLM_F_EXCL, rule)
                       : rule_request(RTM_DELRULE, 0, rule);
    const int error = netlink.exchange(request.header);
    return settled(error) ? 0 : error;
}

bool contains(const std::vector<Rule>& rules, const Rule& rule) {
    return std::find(rules.begin(), rules.end(), rule) != rules.end();
}

}  // namespace

std::optional<Ipv4Range> parse_ipv4_range(std::string_view text) {
    const auto slash = text.find('/');
    if (slash == std::string_view::npos || slash + 1 >= text.size() || text.size() - slash > 3)
        return std::nullopt;
    in_addr address{};
    if (::inet_pton(AF_INET, std::string(text.substr(0, slash)).c_str(), &address) != 1)
        return std::nullopt;
    unsigned prefix = 0;
    for (const char c : text.substr(slash + 1)) {
        if (c < '0' || c > '9')
            return std::nullopt;
        prefix = prefix * 10 + static_cast<unsigned>(c - '0');
    }
    if (prefix > 32)
        return std::nullopt;
    const std::uint32_t network = ntohl(address.s_addr);
    const std::uint32_t host_bits = prefix == 32 ? 0 : 0xFFFFFFFFu >> prefix;
    if ((network & host_bits) != 0)
        return std::nullopt;
    return Ipv4Range{network, static_cast<std::uint8_t>(prefix)};
}

std::string Ipv4Range::text() const {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        text += std::to_string((network >> shift) & 0xFF);
        text += shift > 0 ? "." : "/";
    }
    return text + std::to_string(prefix);
}

int hold_tunnel_ranges(RouteNetlink& netlink, const std::vector<Ipv4Range>& ranges) {
    std::vector<Rule> present;
    if (const int error = read_rules(netlink, present); error != 0)
        return error;
    const std::vector<Rule> wanted = rules_for(ranges);
    for (const Rule& rule : wanted) {
        if (contains(present, rule))
            continue;
        if (const int error = change_rule(netlink, rule, true); error != 0)
            return error;
    }
    // Lookups before refusals: a range on its way out is never left without its refusal
    // while its lookup still finds nothing.
    std::stable_sort(present.begin(), present.end(), [](const Rule& a, const Rule& b) {
        return a.kind == RuleKind::lookup && b.kind != RuleKind::lookup;
    });
    for (const Rule& rule : present) {
        if (contains(wanted, rule))
            continue;
        if (const int error = change_rule(netlink, rule, false); error != 0)
            return error;
    }
    return 0;
}

int forget_range_neighbours(RouteNetlink& netlink, const std::vector<Ipv4Range>& ranges,
                            int kept) {
    struct Neighbour {
        int index;
        std::uint32_t address;
    };
    std::vector<Neighbour> found;
    NetlinkRequest<ndmsg> request(RTM_GETNEIGH, NLM_F_DUMP);
    request.body.ndm_family = AF_INET;
    const int error = netlink.dump(request.header, [&](const nlmsghdr& message) {
        if (message.nlmsg_type != RTM_NEWNEIGH)
            return;
        const auto& header = *static_cast<const ndmsg*>(NLMSG_DATA(&message));
        const auto address = NetlinkAttributes(message, sizeof header).ipv4(NDA_DST);
        if (!address || header.ndm_ifindex == kept ||
            (header.ndm_state & (NUD_PERMANENT | NUD_NOARP)) != 0)
            return;
        const bool inside = std::any_of(ranges.begin(), ranges.end(), [&](const Ipv4Range& range) {
            const std::uint32_t mask = range.prefix == 0 ? 0 : ~0u << (32 - range.prefix);
            return (*address & mask) == range.network;
        });
        if (inside)
            found.push_back({header.ndm_ifindex, *address});
    });
    if (error != 0)
        return error;
    for (const Neighbour& neighbour : found) {
        NetlinkRequest<ndmsg> remove(RTM_DELNEIGH, 0);
        remove.body.ndm_family = AF_INET;
        remove.body.ndm_ifindex = neighbour.index;
        remove.add_ipv4(NDA_DST, neighbour.address);
        if (const int removed = netlink.exchange(remove.header); !settled(removed))
            return removed;
    }
    return 0;
}

int release_tunnel_ranges(RouteNetlink& netlink) {
    std::vector<Rule> rules;
    if (const int error = read_rules(netlink, rules); error != 0)
        return error;
    for (const Rule& rule : rules) {
        if (const int error = change_rule(netlink, rule, false); error != 0)
            return error;
    }
    std::vector<TableRoute> routes;
    if (const int error = read_table(netlink, routes); error != 0)
        return error;
    for (const TableRoute& route : routes) {
        if (const int error = delete_route(netlink, route); !settled(error))
            return error;
    }
    return 0;
}

int read_tunnel_ranges(RouteNetlink& netlink, HeldRanges& ranges) {
    std::vector<Rule> rules;
    std::vector<TableRoute> routes;
    if (const int error = read_rules(netlink, rules); error != 0)
        return error;
    if (const int error = read_table(netlink, routes); error != 0)
        return error;
    for (const Rule& rule : rules) {
        if (rule.kind != RuleKind::refuse)
            continue;
        ranges.held.push_back(rule.range);
        const bool routed = std::any_of(routes.begin(), routes.end(), [&](const TableRoute& route) {
            return route.range == rule.range && route.type == RTN_UNICAST;
        });
        if (!routed)
            ranges.blocked.push_back(rule.range);
    }
    return 0;
}

OsResult<std::vector<std::string>> read_held_ranges(bool only_blocked) {
    auto netlink = RouteNetlink::open();
    if (!netlink)
        return std::unexpected(OsError{static_cast<std::uint32_t>(errno), "netlink socket", {}});
    HeldRanges ranges;
    if (const int error = read_tunnel_ranges(*netlink, ranges); error != 0) {
        return std::unexpected(OsError{static_cast<std::uint32_t>(error), "reading the routes",
                                       "table " + std::to_string(kTunnelTable)});
    }
    std::vector<std::string> texts;
    for (const auto& range : only_blocked ? ranges.blocked : ranges.held)
        texts.push_back(range.text());
    return texts;
}

OsResult<void> PosixRangeReader::hold(const GuardedTunnel&) {
    return std::unexpected(OsError{EPERM, "holding the ranges", "a client"});
}

OsResult<bool> PosixRangeReader::restore() {
    return std::unexpected(OsError{EPERM, "holding the ranges", "a client"});
}

OsResult<void> PosixRangeReader::release() {
    return std::unexpected(OsError{EPERM, "releasing the ranges", "a client"});
}

}  // namespace velnaro::platform
