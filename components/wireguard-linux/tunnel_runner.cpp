#include "tunnel_runner.hpp"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "endpoint_note.hpp"
#include "endpoint_wait.hpp"
#include "interface_link.hpp"
#include "platform/posix/tunnel_routing.hpp"
#include "process.hpp"
#include "rtnetlink.hpp"
#include "uapi_client.hpp"
#include "uapi_text.hpp"
#include "wireguard/endpoint_policy.hpp"

namespace velnaro::wglinux {
namespace {

using namespace std::chrono_literals;

constexpr auto kDaemonStartTimeout = 10s;
constexpr auto kDaemonStopGrace = 5s;
constexpr auto kReadinessPoll = 1ms;
// How often the daemon's life is checked where the kernel cannot tell of its end.
constexpr int kDaemonCheckMilliseconds = 500;

const std::string kInterface(kTunnelInterfaceName);

// SIGTERM and SIGINT blocked in this thread and readable from a descriptor, for the
// lifetime of the object; the previous mask comes back afterwards.
class StopSignals {
  public:
    StopSignals() {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGTERM);
        sigaddset(&stop, SIGINT);
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &stop, &previous_) == 0;
        if (blocked_) {
            fd_ = ::signalfd(-1, &stop, SFD_CLOEXEC);
        }
    }
    ~StopSignals() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (blocked_) {
            ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        }
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    bool ready() const { return fd_ >= 0; }

    // True once a stop signal has arrived (and consumed it); false when `also` became
    // readable first or `milliseconds` passed (-1: no limit; a negative `also` is not watched).
    bool wait(int milliseconds, int also = -1) const {
        std::array<pollfd, 2> entries{{{fd_, POLLIN, 0}, {also, POLLIN, 0}}};
        if (::poll(entries.data(), entries.size(), milliseconds) <= 0 || entries[0].revents == 0) {
            return false;
        }
        signalfd_siginfo info;
        return ::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
    }

  private:
    sigset_t previous_{};
    bool blocked_ = false;
    int fd_ = -1;
};

void report(const char* what, const std::string& subject, int error) {
    std::fprintf(stderr, "tunnel: %s %s on %s failed: %s\n", what, subject.c_str(),
                 kInterface.c_str(), std::strerror(error));
}

// Everything the bring-up did, so the tear-down undoes exactly that and nothing more (an
// interface of the same name that someone else runs is never touched).
class Tunnel {
  public:
    explicit Tunnel(Rtnetlink netlink) : netlink_(std::move(netlink)) {}
    ~Tunnel() { take_down(); }
    Tunnel(const Tunnel&) = delete;
    Tunnel& operator=(const Tunnel&) = delete;

    bool start_daemon(const std::string& daemon) {
        // Bound to this thread: if the tunnel's process is killed, the daemon and with it
        // the interface go too, and a restarted tunnel finds the name free.
        daemon_ = spawn_bound_process(
            {daemon, "-f", kInterface},
            {"WG_PROCESS_FOREGROUND=1", "LOG_LEVEL=error", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"});
        owns_interface_ = daemon_.has_value();
        return owns_interface_;
    }

    // The daemon creates the interface, then its socket: the first accepted connection means
    // both are there. Asked every millisecond, so the tunnel goes on as soon as it may.
    bool wait_for_socket() {
        const auto deadline = std::chrono::steady_clock::now() + kDaemonStartTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!daemon_running()) {
                return false;
            }
            if (uapi_socket_answers(kInterface)) {
                index_ = interface_index(kInterface);
                return index_ != 0;
            }
            std::this_thread::sleep_for(kReadinessPoll);
        }
        return false;
    }

    bool configure(const TunnelSettings& settings, std::uint32_t endpoint) {
        const SecretBuffer request =
            build_uapi_set_request(settings, endpoint, platform::kTunnelMark);
        const auto answer = uapi_exchange(kInterface, request);
        const auto error = answer ? parse_uapi_errno(as_text(*answer)) : std::nullopt;
        return error && *error == 0;
    }

    bool add_address(const Ipv4Cidr& address) {
        const int error = netlink_.add_address(index_, address);
        if (error != 0)
            report("adding address", address.text(), error);
        return error == 0;
    }

    bool set_up() {
        const int error = netlink_.set_link_up(index_, true);
        if (error != 0)
            report("setting", "the link up", error);
        link_up_ = error == 0;
        return link_up_;
    }

    bool add_route(const Ipv4Cidr& network) {
        const int error = netlink_.add_route(index_, network);
        if (error != 0) {
            report("adding route", network.network_text(), error);
            return false;
        }
        routes_.push_back(network);
        return true;
    }

    // Readable once the daemon has ended; invalid when there is none or the kernel cannot tell.
    platform::OwnedFd daemon_end_descriptor() const {
        return daemon_ ? process_end_descriptor(*daemon_) : platform::OwnedFd();
    }

    bool daemon_running() {
        if (daemon_ && !process_running(*daemon_)) {
            daemon_.reset();
        }
        return daemon_.has_value();
    }

    void take_down() {
        for (auto route = routes_.rbegin(); route != routes_.rend(); ++route) {
            netlink_.delete_route(index_, *route);
        }
        routes_.clear();
        if (link_up_) {
            netlink_.set_link_up(index_, false);
            link_up_ = false;
        }
        if (daemon_) {
            stop_process(*daemon_, kDaemonStopGrace);
            daemon_.reset();
        }
        // The daemon removes its interface as it ends; one it could not remove (killed) is
        // deleted here, but only when it was ours (the same index: not a newcomer's).
        if (owns_interface_ && index_ != 0 && interface_index(kInterface) == index_) {
            netlink_.delete_link(index_);
        }
        owns_interface_ = false;
    }

  private:
    Rtnetlink netlink_;
    std::optional<pid_t> daemon_;
    int index_ = 0;
    bool owns_interface_ = false;
    bool link_up_ = false;
    std::vector<Ipv4Cidr> routes_;
};

bool bring_up(Tunnel& tunnel, const std::string& daemon, const TunnelSettings& settings,
              std::uint32_t endpoint) {
    if (!tunnel.start_daemon(daemon) || !tunnel.wait_for_socket() ||
        !tunnel.configure(settings, endpoint) || !tunnel.add_address(settings.address) ||
        !tunnel.set_up()) {
        return false;
    }
    // Into the tunnel's table, where the rules look these ranges up; the route the kernel
    // adds for the interface's own network goes to the main table, which they never reach.
    for (const platform::Ipv4Range& range : tunnel_ranges(settings)) {
        if (!tunnel.add_route(Ipv4Cidr{range.network, range.prefix}))
            return false;
    }
    return true;
}

}  // namespace

std::vector<platform::Ipv4Range> tunnel_ranges(const TunnelSettings& settings) {
    std::vector<platform::Ipv4Range> ranges;
    for (const Ipv4Cidr& network : settings.allowed_networks) {
        const platform::Ipv4Range range{network.network(), network.prefix};
        if (std::find(ranges.begin(), ranges.end(), range) == ranges.end())
            ranges.push_back(range);
    }
    return ranges;
}

platform::GuardedTunnel guarded_tunnel(const TunnelSettings& settings) {
    platform::GuardedTunnel tunnel;
    for (const platform::Ipv4Range& range : tunnel_ranges(settings))
        tunnel.ranges.push_back(range.text());
    tunnel.interface_name = kInterface;
    tunnel.address = settings.address.text();
    tunnel.endpoint = settings.endpoint_host + ":" + std::to_string(settings.endpoint_port);
    tunnel.mark = platform::kTunnelMark;
    return tunnel;
}

TunnelEnd run_tunnel(const TunnelSettings& settings, const std::function<void()>& on_running,
                     platform::RangeGuard& guard) {
    auto netlink = Rtnetlink::open();
    if (!netlink) {
        report("opening", "route netlink", errno);
        return TunnelEnd::not_held;
    }
    // Before anything else: from here on the ranges go through the tunnel or nowhere, also
    // when this start fails or this process dies; only a stop by the service lets them go.
    if (const auto held = guard.hold(guarded_tunnel(settings)); !held) {
        report(("holding the ranges (" + held.error().operation + ")").c_str(),
               held.error().subject, static_cast<int>(held.error().code));
        return TunnelEnd::not_held;
    }
    StopSignals stop;
    if (!stop.ready()) {
        return TunnelEnd::not_brought_up;
    }
    const auto endpoint = wait_for_endpoint(
        settings.endpoint_host, platform::look_up_ipv4, [&](std::chrono::milliseconds pause) {
            return stop.wait(static_cast<int>(pause.count()));
        });
    if (endpoint.stopped)
        return TunnelEnd::stopped;
    if (!endpoint.address)
        return TunnelEnd::endpoint_unresolved;
    const auto daemon = find_executable(
        {"/usr/bin/wireguard-go", "/usr/local/bin/wireguard-go", "/usr/sbin/wireguard-go"});
    // An interface or socket of that name means another tunnel is running; leave it alone.
    if (interface_exists(kInterface) || uapi_socket_answers(kInterface))
        return TunnelEnd::interface_in_use;
    if (!daemon)
        return TunnelEnd::not_brought_up;
    Tunnel tunnel(std::move(*netlink));
    if (!bring_up(tunnel, *daemon, settings, *endpoint.address)) {
        tunnel.take_down();
        return TunnelEnd::not_brought_up;
    }
    if (!is_ipv4_literal(settings.endpoint_host))
        write_endpoint_note(settings.endpoint_host, *endpoint.address, settings.endpoint_port);
    on_running();
    // Asleep until a stop signal or the daemon's end; only without a descriptor for the
    // latter is the daemon asked after now and then.
    const platform::OwnedFd daemon_ended = tunnel.daemon_end_descriptor();
    const int limit = daemon_ended ? -1 : kDaemonCheckMilliseconds;
    while (!stop.wait(limit, daemon_ended.get())) {
        if (!tunnel.daemon_running()) {
            tunnel.take_down();
            remove_endpoint_note();
            return TunnelEnd::daemon_ended;
        }
    }
    tunnel.take_down();
    remove_endpoint_note();
    return TunnelEnd::stopped;
}

}  // namespace velnaro::wglinux
