// The Linux range guard in a network namespace of the test's own: a socket bound to the local
// interface before a hold, while held, after a restart and after the release, and everything
// else left exactly as it was. (Packets posing as the ranges: tests/e2e/ranges_held.sh.)

#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/posix/range_guard.hpp"

namespace velnaro::platform {
namespace {

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

// A datagram to 10.250.1.1 from a socket bound to lan0 (whose route the rules cannot stop).
bool bound_send_passes() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{AF_INET, htons(9), {htonl(0x0AFA0101)}, {}};
    const bool passed = ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, "lan0", 4) == 0 &&
                        ::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 1;
    ::close(fd);
    return passed;
}

std::string system_state() {
    return command_output("ip rule; ip route show table all; nft list ruleset");
}

// Exit status: 0, or the number of the first step that went wrong.
int guard_steps(const std::string& record) {
    if (::unshare(CLONE_NEWNET) != 0 ||
        std::system("ip link set lo up && ip link add lan0 type veth peer name lan1 && ip link set lan1 up && "
                    "ip addr add 192.168.50.1/24 dev lan0 && ip link set lan0 up && "
                    "ip route add 10.250.0.0/16 dev lan0 && "
                    "ip neigh add 10.250.9.9 lladdr 02:00:00:00:00:01 dev lan0 nud stale && "
                    "nft add table ip other && nft add chain ip other out "
                    "'{ type filter hook output priority 0; }'") != 0)
        return 100;
    if (!bound_send_passes())
        return 101;  // the edges are open without the guard: the test would prove nothing
    const std::string bare = system_state();
    PosixRangeGuard guard(record);
    const GuardedTunnel tunnel{{"10.250.0.0/16"}, "VelnaroTunnel", "10.250.77.2/32", "gw:51820"};
    if (!guard.hold(tunnel) || guard.held_ranges() != std::vector<std::string>{"10.250.0.0/16"})
        return 1;
    if (bound_send_passes() || !command_output("ip neigh show 10.250.9.9").empty())
        return 2;
    // A changed configuration: the new range joins before the old goes; a refused one
    // (a name nftables cannot take) leaves the last hold as it was.
    GuardedTunnel wider = tunnel;
    wider.ranges = {"10.250.0.0/16", "10.99.0.0/24"};
    GuardedTunnel refused = tunnel;
    refused.interface_name = "bad\"name";
    if (!guard.hold(wider) || guard.hold(refused) ||
        guard.held_ranges() != std::vector<std::string>{"10.250.0.0/16", "10.99.0.0/24"})
        return 3;
    // A restart of the machine: nothing held, the record holds it again.
    if (!PosixRangeGuard().release() || !guard.restore() || !guard.restore().value_or(false) ||
        bound_send_passes() || read_range_record(command_output("cat " + record)) != wider)
        return 4;
    if (!guard.release() || !guard.release() || system_state() != bare ||
        std::filesystem::exists(record) || guard.restore().value_or(true))
        return 5;
    return bound_send_passes() ? 0 : 6;
}

TEST(PosixRangeGuard, RefusesBoundSocketsRestoresAtBootAndLeavesNothingBehind) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    const std::string record =
        (std::filesystem::temp_directory_path() / ("held-ranges." + std::to_string(::getpid())))
            .string();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(guard_steps(record));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    std::filesystem::remove(record);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "step " << WEXITSTATUS(status);
}

}  // namespace
}  // namespace velnaro::platform
