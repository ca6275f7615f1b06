// The socket as an ordinary local account would attack it: changing the tunnel from outside
// the admitted group, starving root with idle connections, a socket folder that is not
// root's, and a process out of descriptors; and every way a client may send its request.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dispatch/unlinked_tunnel_controller.hpp"
#include "ipc/pipe_server.hpp"
#include "platform/native.hpp"
#include "platform/posix/pipe_endpoint.hpp"
#include "platform/posix/pipes.hpp"
#include "wireguard/components.hpp"

namespace velnaro {
namespace {

using namespace std::chrono_literals;

// A login account with no entry in the account database, and a group that stands in for
// the admitted one, so that nothing on the machine is changed.
constexpr uid_t kLoginUid = 4242;
constexpr gid_t kLoginGid = 4242;
constexpr std::string_view kStandInGroup = "users";

int connect_to(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    return fd;
}

std::string frame(std::string_view body) {
    const auto n = static_cast<std::uint32_t>(body.size());
    std::string bytes{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                      static_cast<char>(n >> 24)};
    return bytes + std::string(body);
}

// One request; the body of the answer, "" when the connection ends without one.
std::string ask(const std::string& path, std::string_view body) {
    const int fd = connect_to(path);
    if (fd < 0)
        return "<no connection>";
    const std::string request = frame(body);
    std::string answer;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::recv(fd, buffer, sizeof(buffer), 0)) > 0)
            answer.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return answer.size() < 4 ? "" : answer.substr(4);
}

// Runs `body` in a child that has become the login account with exactly `groups`; the
// child's exit status, 99 when it could not change its identity.
int as_login_account(const std::vector<gid_t>& groups, const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 ||
            ::setresgid(kLoginGid, kLoginGid, kLoginGid) != 0 ||
            ::setresuid(kLoginUid, kLoginUid, kLoginUid) != 0) {
            ::_exit(99);
        }
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

class DoorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to act as other accounts";
        char pattern[] = "/tmp/velnaro-door-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        ASSERT_EQ(::chmod(directory_.c_str(), 0755), 0);
        path_ = directory_ + "/run/service.sock";
    }
    void TearDown() override {
        if (server_.joinable()) {
            stop_->store(true);
            wake_pipe_server(platform_, path_);
            server_.join();
        }
        if (!directory_.empty())
            std::filesystem::remove_all(directory_);
    }
    void start_server() {
        server_ = std::thread([this] {
            const Outcome<void> served = run_pipe_server(
                runtime_, RequestContext{nullptr, std::make_unique<UnlinkedTunnelController>()},
                stop_, path_);
            EXPECT_TRUE(served);
        });
        for (int i = 0; i < 500 && !pipes_.pipe_exists(path_); ++i)
            std::this_thread::sleep_for(2ms);
    }

    platform::NativePlatform native_;
    platform::PosixPipes pipes_{std::string(kStandInGroup)};
    platform::Platform platform_{native_.get().files,    native_.get().system,
                                 native_.get().sealing,  native_.get().loader,
                                 native_.get().services, pipes_,
                                 native_.get().host};
    wireguard::ComponentCell components_;
    Runtime runtime_{platform_, components_};
    std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
    std::thread server_;
    std::string directory_;
    std::string path_;
};

TEST_F(DoorTest, OnlyRootAndTheAdmittedGroupMayChangeTheTunnel) {
    const group* stand_in = ::getgrnam(std::string(kStandInGroup).c_str());
    if (stand_in == nullptr)
        GTEST_SKIP() << "no group " << kStandInGroup;
    start_server();
    const std::string apply = R"({"command":"APPLY_CONFIG","payload":{"configVersion":1,)"
                              R"("address":"10.250.10.21/32","gatewayPublicKey":)"
                              R"("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=",)"
                              R"("endpointHost":"gw.example.net","endpointPort":51820,)"
                              R"("allowedIps":["10.250.0.0/16"],"persistentKeepalive":25}})";
    const std::string not_allowed =
        R"({"type":"ERROR","payload":{"code":"IPC_CALLER_NOT_ALLOWED"}})";
    struct Case {
        const char* name;
        std::vector<gid_t> groups;
        std::string request;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"outside the group: apply", {}, apply, true},
        {"outside the group: start", {}, R"({"command":"START"})", true},
        {"outside the group: status", {}, R"({"command":"GET_STATUS"})", false},
        {"outside the group: version", {}, R"({"command":"GET_VERSION"})", false},
        {"in the group: apply", {stand_in->gr_gid}, apply, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int status = as_login_account(c.groups, [&] {
            const std::string answer = ask(path_, c.request);
            if (answer.empty())
                return 2;
            return (answer == not_allowed) == c.refused ? 0 : 1;
        });
        EXPECT_EQ(status, 0) << "1: wrong answer, 2: no answer, 99: identity not changed";
    }
    EXPECT_NE(ask(path_, apply), not_allowed) << "root may";
}

TEST_F(DoorTest, FortyIdleConnectionsOfOneAccountDoNotDelayRoot) {
    start_server();
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(kLoginGid, kLoginGid, kLoginGid) != 0 ||
            ::setresuid(kLoginUid, kLoginUid, kLoginUid) != 0) {
            ::_exit(99);
        }
        std::vector<int> idle;
        for (int i = 0; i < 40; ++i)
            idle.push_back(connect_to(path_));
        char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        (void)!::read(release[0], &byte, 1);
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    std::this_thread::sleep_for(100ms);  // every idle connection has reached the server
    const auto start = std::chrono::steady_clock::now();
    const std::string answer = ask(path_, R"({"command":"GET_VERSION"})");
    const auto waited = std::chrono::steady_clock::now() - start;
    (void)!::write(release[1], &byte, 1);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(answer, R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})");
    EXPECT_LT(waited, 1s);
    std::printf("root's GET_VERSION behind 40 idle connections: %.1f ms\n",
                std::chrono::duration<double, std::milli>(waited).count());
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        ::close(fd);
}

TEST_F(DoorTest, ASocketFolderOthersCouldChangeIsRefused) {
    struct Case {
        const char* name;
        std::function<std::string()> arrange;  // gives the socket's path
        bool refused;
    };
    const std::string base = directory_;
    const std::vector<Case> cases = {
        {"another account's folder",
         [&] {
             ::mkdir((base + "/foreign").c_str(), 0755);
             EXPECT_EQ(::chown((base + "/foreign").c_str(), kLoginUid, kLoginGid), 0);
             return base + "/foreign/s.sock";
         },
         true},
        {"a link to root's folder",
         [&] {
             ::mkdir((base + "/real").c_str(), 0755);
             EXPECT_EQ(::symlink((base + "/real").c_str(), (base + "/link").c_str()), 0);
             return base + "/link/s.sock";
         },
         true},
        {"a level above that others may write",
         [&] {
             ::mkdir((base + "/open").c_str(), 0777);
             ::chmod((base + "/open").c_str(), 0777);
             return base + "/open/run/s.sock";
         },
         true},
        {"a folder others may write",
         [&] {
             ::mkdir((base + "/wide").c_str(), 0777);
             ::chmod((base + "/wide").c_str(), 0777);
             return base + "/wide/s.sock";
         },
         true},
        {"a sticky level above root's folder",
         [&] {
             ::mkdir((base + "/sticky").c_str(), 0777);
             ::chmod((base + "/sticky").c_str(), 01777);
             ::mkdir((base + "/sticky/mine").c_str(), 0755);
             return base + "/sticky/mine/run/s.sock";
         },
         false},
        {"root's own folder closed to others", [&] { return base + "/fresh/s.sock"; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.arrange();
        platform::PosixPipes pipes;
        const auto server = pipes.create_server(path);
        EXPECT_EQ(!server, c.refused);
        if (server) {
            struct stat folder {};
            ASSERT_EQ(::stat(std::filesystem::path(path).parent_path().c_str(), &folder), 0);
            EXPECT_EQ(folder.st_mode & 07777, 0755u);
        } else {
            EXPECT_EQ(server.error().os.operation, "open_socket_folder");
            EXPECT_NE(server.error().os.code, 0u) << "the system's reason is kept";
        }
    }
}

// A process with no descriptor to spare cannot accept; the listener stays readable, and a
// loop that retried at once would burn a whole core.
// The server waits in accept while no connection is open and reads a request that came with
// its connect at once; a request that comes late, in pieces, or while another connection is
// open goes through the wait for bytes instead. Every one of them is answered.
TEST_F(DoorTest, EveryWayOfSendingARequestIsAnswered) {
    start_server();
    const std::string request = frame(R"({"command":"GET_VERSION"})");
    struct Case {
        const char* name;
        std::size_t first_piece;          // bytes sent with the connect
        std::chrono::milliseconds pause;  // before the rest
    };
    const Case cases[] = {
        {"whole with the connect", request.size(), 0ms},
        {"after the idle accept wait", 0, 150ms},
        {"header first, body later", 4, 150ms},
        {"a byte, then the rest", 1, 20ms},
    };
    for (const Case& c : cases) {
        const int fd = connect_to(path_);
        ASSERT_GE(fd, 0) << c.name;
        // Another client is served while this one is still open.
        EXPECT_NE(ask(path_, R"({"command":"GET_VERSION"})").find("VERSION"), std::string::npos)
            << c.name;
        if (c.first_piece > 0) {
            ASSERT_EQ(::send(fd, request.data(), c.first_piece, MSG_NOSIGNAL),
                      static_cast<ssize_t>(c.first_piece));
        }
        std::this_thread::sleep_for(c.pause);
        const std::size_t rest = request.size() - c.first_piece;
        if (rest > 0) {
            ASSERT_EQ(::send(fd, request.data() + c.first_piece, rest, MSG_NOSIGNAL),
                      static_cast<ssize_t>(rest));
        }
        std::string answer;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::recv(fd, buffer, sizeof(buffer), 0)) > 0)
            answer.append(buffer, static_cast<std::size_t>(got));
        ::close(fd);
        EXPECT_NE(answer.find(R"("type":"VERSION")"), std::string::npos) << c.name;
    }
}

TEST_F(DoorTest, AcceptingRestsWhileDescriptorsRunOut) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        platform::PosixPipes pipes;
        const auto server = pipes.create_server(path_);
        if (!server)
            ::_exit(3);
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 64;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::_exit(4);
        char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        std::this_thread::sleep_for(200ms);  // the parent's client is in the backlog
        while (::dup(0) >= 0) {
        }
        timespec before{};
        timespec after{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
        const auto end = std::chrono::steady_clock::now() + 1s;
        while (std::chrono::steady_clock::now() < end) {
            if (!(*server)->wait_for_events(100ms))
                ::_exit(5);
        }
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
        const double used = static_cast<double>(after.tv_sec - before.tv_sec) +
                            static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e9;
        ::_exit(used < 0.2 ? 0 : 6);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    const int client = connect_to(path_);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(client);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: no server, 4: no limit, 5: server broke, 6: spun";
}

// A group whose entry needs more room than a first buffer gives (hundreds of members) is
// still found; a lookup that fails is told apart from a group that does not exist.
TEST(GroupLookup, GrowsOnErangeAndTellsFailureFromAbsence) {
    using Found = std::expected<std::optional<gid_t>, int>;
    // Stand-ins for getgrnam_r: the entry fits from 20000 bytes on, or the answer is fixed.
    const platform::GroupLookup large = [](const char*, group* entry, char*, std::size_t size,
                                           group** found) {
        entry->gr_gid = 4242;
        *found = size < 20000 ? nullptr : entry;
        return size < 20000 ? ERANGE : 0;
    };
    const platform::GroupLookup absent = [](const char*, group*, char*, std::size_t,
                                            group** found) { return *found = nullptr, 0; };
    const platform::GroupLookup broken = [](const char*, group*, char*, std::size_t,
                                            group** found) { return *found = nullptr, EIO; };
    const platform::GroupLookup never_fits = [](const char*, group*, char*, std::size_t,
                                                group** found) { return *found = nullptr, ERANGE; };
    EXPECT_EQ(platform::find_group_id("velnaro", large), Found(std::optional<gid_t>(4242)));
    EXPECT_EQ(platform::find_group_id("velnaro", absent), Found(std::nullopt));
    EXPECT_EQ(platform::find_group_id("velnaro", broken), Found(std::unexpected(EIO)));
    EXPECT_EQ(platform::find_group_id("velnaro", never_fits), Found(std::unexpected(ERANGE)));
    EXPECT_EQ(platform::find_group_id("root"), Found(std::optional<gid_t>(0)));  // the real one
}

}  // namespace
}  // namespace velnaro
