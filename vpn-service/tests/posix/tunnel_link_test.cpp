// The Linux tunnel's own ways to the system: the route-netlink socket that sets address, link
// and routes, the connection kept to the daemon's UAPI socket, and the public key kept between
// readings of the configuration block.
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "configuration_block.hpp"
#include "platform/posix/range_guard.hpp"
#include "platform/posix/tunnel_routing.hpp"
#include "keys.hpp"
#include "rtnetlink.hpp"
#include "uapi_client.hpp"

namespace velnaro::wglinux {
namespace {

namespace fs = std::filesystem;

std::string command_output(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, pipe))
            out += line;
        ::pclose(pipe);
    }
    return out;
}

std::string route_table(const char* device) {
    return command_output(std::string("ip -4 route show table 8278 dev ") + device + " 2>/dev/null");
}

// In a child with a network namespace of its own: every step, and the kernel's view after it.
// Exit status: 0, or the number of the first step that went wrong.
int netlink_steps() {
    if (::unshare(CLONE_NEWNET) != 0 ||
        std::system("ip link add vlcd0 type veth peer name vlcd1") != 0)
        return 100;
    const int index = static_cast<int>(::if_nametoindex("vlcd0"));
    auto netlink = Rtnetlink::open();
    if (index == 0 || !netlink)
        return 101;
    const Ipv4Cidr address{0x0AFA0A15, 32};  // 10.250.10.21/32
    const Ipv4Cidr network{0x0AFA0000, 16};  // 10.250.0.0/16
    if (netlink->add_address(index, address) != 0)
        return 1;
    if (netlink->add_address(index, address) != EEXIST)
        return 2;
    // What vpnctl reads of a tunnel that outlived the service: down, up, and gone below.
    const auto up = [](const char* name) {
        return platform::read_interface_up(name);
    };
    if (up("vlcd0") != false || netlink->set_link_up(index, true) != 0 || up("vlcd0") != true)
        return 3;
    if (netlink->add_route(index, network) != 0 ||
        route_table("vlcd0").find("10.250.0.0/16 scope link") == std::string::npos)
        return 4;
    if (netlink->add_route(index, network) != EEXIST)
        return 5;
    if (netlink->delete_route(index, network) != 0 || !route_table("vlcd0").empty())
        return 6;
    if (netlink->delete_route(index, network) != ESRCH)
        return 7;
    if (netlink->delete_link(index) != 0 || ::if_nametoindex("vlcd0") != 0 ||
        up("vlcd0") != false)
        return 8;
    if (netlink->add_address(index, address) != ENODEV)
        return 9;
    return 0;
}

TEST(Rtnetlink, SetsAddressLinkAndRoutesAndReportsTheKernelsErrors) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(netlink_steps());
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the step that went wrong";
}

// In a child with a network namespace of its own: the held ranges through a start, a change
// of configuration, the tunnel's route and a release, beside a foreign rule at one of the
// tunnel's priorities. Exit status: 0, or the number of the first step that went wrong.
int hold_steps() {
    using platform::Ipv4Range;
    if (::unshare(CLONE_NEWNET) != 0 ||
        std::system("ip link add vlcd0 type veth peer name vlcd1 && ip link set vlcd0 up && "
                    "ip rule add priority 8280 to 192.168.9.0/24 lookup main") != 0)
        return 100;
    const std::string bare = command_output("ip rule; ip route show table all");
    auto netlink = Rtnetlink::open();
    const Ipv4Range wide{0x0AFA0000, 16}, narrow{0x0A630000, 24};  // 10.250.0.0/16, 10.99.0.0/24
    const auto read = [&] {
        platform::HeldRanges ranges;
        return platform::read_tunnel_ranges(netlink->socket(), ranges) == 0 ? ranges
                                                                            : platform::HeldRanges{};
    };
    const auto hold = [&](Ipv4Range range) { return platform::hold_tunnel_ranges(netlink->socket(), {range}); };
    if (!netlink || hold(wide) != 0 || hold(wide) != 0 || read().blocked != std::vector{wide} ||
        command_output("ip route get 10.250.1.1 2>&1").find("unreachable") == std::string::npos)
        return 1;
    if (netlink->add_route(static_cast<int>(::if_nametoindex("vlcd0")), {wide.network, 16}) != 0 ||
        !read().blocked.empty() ||
        command_output("ip route get 10.250.1.1").find("dev vlcd0 table 8278") == std::string::npos)
        return 2;
    if (hold(narrow) != 0 || read().held != std::vector{narrow} ||
        platform::PosixRangeReader().blocked_ranges() != std::vector<std::string>{"10.99.0.0/24"})
        return 3;
    if (!platform::PosixRangeGuard().release() || !platform::PosixRangeGuard().release() ||
        command_output("ip rule; ip route show table all") != bare)
        return 4;
    return 0;
}

TEST(Rtnetlink, HoldsRangesReplacesThemAndReleasesOnlyTheTunnelsOwn) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(hold_steps());
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "step " << WEXITSTATUS(status);
}

// A daemon on the interface's UAPI socket: answers each "get=1" with a running number, and
// hangs up after `answers_per_connection` answers.
class FakeDaemon {
  public:
    FakeDaemon(std::string name, int answers_per_connection)
        : path_(uapi_socket_path(name)), per_connection_(answers_per_connection) {
        fs::create_directories(fs::path(path_).parent_path());
        ::unlink(path_.c_str());
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        ready_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(listener_, 4) == 0;
        if (ready_)
            thread_ = std::thread([this] { serve(); });
    }
    ~FakeDaemon() {
        ::shutdown(listener_, SHUT_RDWR);
        ::shutdown(serving_, SHUT_RDWR);  // a client may hold its connection open
        if (thread_.joinable())
            thread_.join();
        ::close(listener_);
        ::unlink(path_.c_str());
    }
    bool ready() const { return ready_; }
    int connections() const { return connections_; }

  private:
    void serve() {
        while (true) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            ++connections_;
            serving_ = fd;
            char request[7];
            for (int i = 0; i < per_connection_; ++i) {
                if (::recv(fd, request, sizeof request, MSG_WAITALL) != sizeof request)
                    break;
                const std::string answer =
                    "listen_port=" + std::to_string(++answers_) + "\nerrno=0\n\n";
                ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            serving_ = -1;
            ::close(fd);
        }
    }

    std::string path_;
    int per_connection_;
    int listener_ = -1;
    bool ready_ = false;
    std::atomic<int> connections_{0};
    std::atomic<int> serving_{-1};
    int answers_ = 0;
    std::thread thread_;
};

std::string ask(UapiConnection& connection) {
    const std::string_view request = "get=1\n\n";
    const auto answer = connection.exchange(as_bytes(request));
    return answer ? std::string(as_text(*answer)) : "none";
}

TEST(UapiConnection, AsksAfreshOnOneConnectionAndReconnectsWhenTheDaemonHungUp) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for the daemons' socket folder";
    const std::string name = "vlcu" + std::to_string(::getpid() % 100000);
    UapiConnection connection(name);
    {
        FakeDaemon daemon(name, 2);
        ASSERT_TRUE(daemon.ready());
        EXPECT_EQ(ask(connection), "listen_port=1\nerrno=0\n\n");
        EXPECT_EQ(ask(connection), "listen_port=2\nerrno=0\n\n");
        EXPECT_EQ(daemon.connections(), 1);
        // The daemon hung up after two answers: the third goes on a new connection.
        EXPECT_EQ(ask(connection), "listen_port=3\nerrno=0\n\n");
        EXPECT_EQ(daemon.connections(), 2);
    }
    // No daemon any more: no answer, and no stale one.
    EXPECT_EQ(ask(connection), "none");
}

TEST(ConfigurationBlock, PublicKeyFollowsThePrivateKeyOfEachReading) {
    const char* keys[] = {"e84b5a6d2717c1003a13b431570353dbaca9146cf150c5f8575680feba52027a",
                          "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"};
    for (const char* key : {keys[0], keys[1], keys[0]}) {
        const auto device =
            parse_uapi_get_response(std::string("private_key=") + key + "\nerrno=0\n\n");
        ASSERT_TRUE(device);
        const auto block = build_configuration_block(*device);
        ASSERT_TRUE(block);
        SecretArray<32> expected;
        ASSERT_TRUE(derive_public_key(device->private_key.span(), expected.span()));
        EXPECT_TRUE(std::equal(expected.data(), expected.data() + 32,
                               block->begin() + kInterfacePublicKeyOffset))
            << key;
    }
}

}  // namespace
}  // namespace velnaro::wglinux
