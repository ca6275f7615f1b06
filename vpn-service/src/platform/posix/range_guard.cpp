#include "platform/posix/range_guard.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/owned_fd.hpp"
#include "platform/posix/range_filter.hpp"
#include "platform/posix/text_file.hpp"
#include "platform/posix/tunnel_routing.hpp"

namespace velnaro::platform {
namespace {

std::unexpected<OsError> failure(int error, const char* operation, std::string subject) {
    return std::unexpected(OsError{static_cast<std::uint32_t>(error), operation, std::move(subject)});
}

// An interface name the kernel takes, and nothing that could end a quoted nftables word.
bool is_interface_name(std::string_view name) {
    if (name.empty() || name.size() > 15)
        return false;
    for (const char c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!plain)
            return false;
    }
    return true;
}

std::optional<std::vector<Ipv4Range>> parsed_ranges(const GuardedTunnel& tunnel) {
    std::vector<Ipv4Range> ranges;
    for (const auto& text : tunnel.ranges) {
        const auto range = parse_ipv4_range(text);
        if (!range)
            return std::nullopt;
        ranges.push_back(*range);
    }
    return ranges;
}

// "10.250.77.2/32" or "10.250.77.2": the address, whatever its prefix length.
bool is_address(const std::string& text) {
    in_addr address{};
    return ::inet_pton(AF_INET, text.substr(0, text.find('/')).c_str(), &address) == 1;
}

bool is_valid(const GuardedTunnel& tunnel) {
    return is_interface_name(tunnel.interface_name) && parsed_ranges(tunnel) &&
           (tunnel.address.empty() || is_address(tunnel.address)) &&
           tunnel.endpoint.find_first_of("\n\"") == std::string::npos;
}

// Written beside, flushed, then renamed over the record: a crash leaves the old record or
// the new one, never a part. The mark is written: the rules let WireGuard's packets pass by it.
int write_record(const std::string& path, const GuardedTunnel& tunnel) {
    const std::string text = guard_record_text(tunnel, MarkLine::written);
    const std::string temporary = path + ".new";
    OwnedFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                        0600));
    if (!file)
        return errno;
    const bool written = ::write(file.get(), text.data(), text.size()) ==
                             static_cast<ssize_t>(text.size()) &&
                         ::fsync(file.get()) == 0;
    const int error = errno;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int cause = written ? errno : error;
        ::unlink(temporary.c_str());
        return cause;
    }
    const auto cut = path.find_last_of('/');
    OwnedFd directory(::open(cut == 0 ? "/" : path.substr(0, cut).c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory)
        ::fsync(directory.get());
    return 0;
}

std::optional<RouteNetlink> open_netlink(int& error) {
    auto netlink = RouteNetlink::open();
    error = netlink ? 0 : errno;
    return netlink;
}

}  // namespace

std::string range_record_path() {
    const char* program_data = std::getenv("PROGRAMDATA");
    const std::string base = program_data != nullptr && program_data[0] == '/' ? program_data
                                                                               : "/var/lib";
    return base + "/Velnaro/held-ranges";
}

std::optional<GuardedTunnel> read_range_record(std::string_view text) {
    auto tunnel = read_guard_record(text);
    if (!tunnel || !is_valid(*tunnel))
        return std::nullopt;
    return tunnel;
}

PosixRangeGuard::PosixRangeGuard(std::string record_path) : record_path_(std::move(record_path)) {}

// What to put back when a hold fails halfway: the record, or else the ranges the rules hold
// (the tunnel's process, which keeps no record) under the new tunnel's names.
OsResult<std::optional<GuardedTunnel>> PosixRangeGuard::previous(const GuardedTunnel& next) {
    if (!record_path_.empty()) {
        if (const auto text = read_text_file(record_path_, O_NOFOLLOW))
            return read_range_record(*text);
    }
    auto held = held_ranges();
    if (!held)
        return std::unexpected(held.error());
    if (held->empty())
        return std::optional<GuardedTunnel>();
    GuardedTunnel tunnel = next;
    tunnel.ranges = *held;
    return std::optional<GuardedTunnel>(tunnel);
}

OsResult<void> PosixRangeGuard::hold_unrecorded(const GuardedTunnel& tunnel,
                                                const std::optional<GuardedTunnel>& before) {
    const auto ranges = parsed_ranges(tunnel);
    if (!ranges || !is_valid(tunnel))
        return failure(EINVAL, "holding the ranges", tunnel.interface_name);
    int error = 0;
    auto netlink = open_netlink(error);
    if (!netlink)
        return failure(error, "netlink socket", {});
    std::string message;
    // The table first: it replaces the old one in one step, while the old rules still
    // refuse the ranges on their way out; then the rules add the new ranges before they
    // let the old ones go.
    if (error = set_range_filter(tunnel, message); error != 0)
        return failure(error, "nftables", message.empty() ? kFilterTable : message);
    if (error = hold_tunnel_ranges(*netlink, *ranges); error == 0) {
        // Only tidies the kernel's neighbour cache: the ranges are held whatever it answers.
        forget_range_neighbours(
            *netlink, *ranges, static_cast<int>(::if_nametoindex(tunnel.interface_name.c_str())));
        return {};
    }
    // Back to what was held before, so nothing is left half held.
    std::string ignored;
    if (before) {
        set_range_filter(*before, ignored);
        if (const auto old = parsed_ranges(*before))
            hold_tunnel_ranges(*netlink, *old);
    } else {
        remove_range_filter(ignored);
        release_tunnel_ranges(*netlink);
    }
    return failure(error, "adding the rules", "table " + std::to_string(kTunnelTable));
}

OsResult<void> PosixRangeGuard::hold(const GuardedTunnel& tunnel) {
    const auto before = previous(tunnel);
    if (!before)
        return std::unexpected(before.error());
    if (record_path_.empty())
        return hold_unrecorded(tunnel, *before);
    // Recorded first: a machine restarted in between holds the new ranges at boot, which
    // the rest of this hold (or the service's retry) then holds as well.
    if (const int error = write_record(record_path_, tunnel); error != 0)
        return failure(error, "recording the ranges", record_path_);
    auto held = hold_unrecorded(tunnel, *before);
    if (!held) {
        if (*before)
            write_record(record_path_, **before);
        else
            ::unlink(record_path_.c_str());
    }
    return held;
}

OsResult<bool> PosixRangeGuard::restore() {
    if (::access(record_path_.c_str(), F_OK) != 0 && errno == ENOENT)
        return false;
    const auto text = read_text_file(record_path_, O_NOFOLLOW);
    if (!text)
        return failure(errno != 0 ? errno : EIO, "reading the record", record_path_);
    const auto tunnel = read_range_record(*text);
    if (!tunnel)
        return failure(EINVAL, "reading the record", record_path_);
    // Nothing is held at boot: a failure leaves nothing behind.
    if (auto held = hold_unrecorded(*tunnel, std::nullopt); !held)
        return std::unexpected(held.error());
    return true;
}

OsResult<void> PosixRangeGuard::release() {
    int error = 0;
    auto netlink = open_netlink(error);
    if (!netlink)
        return failure(error, "netlink socket", {});
    std::string message;
    if (error = remove_range_filter(message); error != 0)
        return failure(error, "nftables", message.empty() ? kFilterTable : message);
    if (error = release_tunnel_ranges(*netlink); error != 0)
        return failure(error, "releasing the routes", "table " + std::to_string(kTunnelTable));
    if (!record_path_.empty() && ::unlink(record_path_.c_str()) != 0 && errno != ENOENT)
        return failure(errno, "removing the record", record_path_);
    return {};
}

OsResult<std::vector<std::string>> PosixRangeGuard::held_ranges() {
    return read_held_ranges(false);
}

OsResult<std::vector<std::string>> PosixRangeGuard::blocked_ranges() {
    return read_held_ranges(true);
}

OsResult<bool> PosixRangeGuard::interface_up(std::string_view name) {
    return read_interface_up(name);
}

}  // namespace velnaro::platform
