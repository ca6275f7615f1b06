#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "contract/pipes_contract.hpp"
#include "platform/native.hpp"
#include "platform/posix/pipes.hpp"
#include "wireguard/components.hpp"

namespace velnaro {
namespace {

using namespace std::chrono_literals;
constexpr std::string_view kVersionAnswer =
    R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})";

// A raw client socket, so that tests control exactly which bytes go out and when.
class RawClient {
  public:
    explicit RawClient(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        timeval limit{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    ~RawClient() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send_bytes(std::string_view bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Everything until the server closes the connection.
    std::string read_all() {
        std::string all;
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (got <= 0)
                return all;
            all.append(buffer, static_cast<std::size_t>(got));
        }
    }

  private:
    int fd_;
    bool connected_ = false;
};

std::string frame(std::string_view body) {
    const auto n = static_cast<std::uint32_t>(body.size());
    std::string bytes{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                      static_cast<char>(n >> 24)};
    return bytes + std::string(body);
}

std::string body_of(const std::string& frame_bytes) {
    return frame_bytes.size() < 4 ? "<short>" : frame_bytes.substr(4);
}

class SocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/velnaro-socket-XXXXXX";
        directory_ = ::mkdtemp(pattern);
        path_ = directory_ + "/sock-dir/service.sock";
    }
    void TearDown() override {
        stop_server();
        std::filesystem::remove_all(directory_);
    }
    void start_server() {
        server_ = std::make_unique<contract::ServerThread>(runtime_, path_);
        server_->start();
    }
    void stop_server() {
        if (server_)
            server_->stop();
    }

    platform::NativePlatform native_;
    wireguard::ComponentCell components_;
    Runtime runtime_{native_.get(), components_};
    std::string directory_;
    std::string path_;
    std::unique_ptr<contract::ServerThread> server_;
};

TEST_F(SocketTest, ServesFramesThatArriveInPiecesAndDiscardsASecondFrame) {
    start_server();
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::string expected;
    };
    const std::string version = frame(R"({"command":"GET_VERSION"})");
    const std::vector<Case> cases = {
        {"whole", {version}, std::string(kVersionAnswer)},
        {"piece by piece",
         {version.substr(0, 1), version.substr(1, 2), version.substr(3, 7), version.substr(10)},
         std::string(kVersionAnswer)},
        {"two frames", {version + version}, std::string(kVersionAnswer)},
        {"header 0",
         {std::string(4, '\0')},
         R"({"type":"ERROR","payload":{"code":"IPC_MESSAGE_SIZE_INVALID"}})"},
        {"header 65537",
         {std::string("\x01\x00\x01\x00", 4)},
         R"({"type":"ERROR","payload":{"code":"IPC_MESSAGE_SIZE_INVALID"}})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(path_);
        ASSERT_TRUE(client.connected());
        for (const auto& piece : c.pieces) {
            client.send_bytes(piece);
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(body_of(client.read_all()), c.expected);
    }
}

TEST_F(SocketTest, TheSocketIsOpenToEveryAccountInADirectoryOnlyRootWrites) {
    start_server();
    struct stat socket_info {};
    struct stat directory_info {};
    ASSERT_EQ(::stat(path_.c_str(), &socket_info), 0);
    ASSERT_EQ(::stat((directory_ + "/sock-dir").c_str(), &directory_info), 0);
    EXPECT_TRUE(S_ISSOCK(socket_info.st_mode));
    EXPECT_EQ(socket_info.st_mode & 0777, 0666u);
    EXPECT_EQ(directory_info.st_mode & 0777, 0755u);
    stop_server();
    EXPECT_FALSE(std::filesystem::exists(path_)) << "a stopped server removes its socket";
}

TEST_F(SocketTest, ASystemAccountIsDisconnectedWithoutAnAnswer) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as a system account";
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr)
        GTEST_SKIP() << "no account named nobody";
    ASSERT_EQ(::chmod(directory_.c_str(), 0755), 0);
    start_server();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)
            ::_exit(3);
        RawClient client(path_);
        if (!client.connected())
            ::_exit(4);
        client.send_bytes(frame(R"({"command":"GET_VERSION"})"));
        ::_exit(client.read_all().empty() ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: setuid, 4: connect, 5: was answered";
    RawClient root_client(path_);
    root_client.send_bytes(frame(R"({"command":"GET_VERSION"})"));
    EXPECT_EQ(body_of(root_client.read_all()), kVersionAnswer) << "the server carries on";
}

// A live socket is never taken over: the contract suite.
TEST_F(SocketTest, AStaleSocketIsReplaced) {
    start_server();  // makes the socket folder
    stop_server();
    // A socket file left by a crashed server: bound, never listened, then abandoned.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(stale);
    start_server();
    RawClient after(path_);
    after.send_bytes(frame(R"({"command":"GET_VERSION"})"));
    EXPECT_EQ(body_of(after.read_all()), kVersionAnswer);
}

TEST(LoginUidRange, ReadsTheRangeFromLoginDefs) {
    struct Case {
        const char* text;
        uid_t first;
        uid_t last;
    };
    const std::vector<Case> cases = {
        {"", 1000, 60000},
        {"UID_MIN 500\nUID_MAX 30000\n", 500, 30000},
        {"# UID_MIN 10\n  UID_MIN\t\t2000\nSYS_UID_MIN 100\n", 2000, 60000},
        {"UID_MIN nonsense\nUID_MAX_X 5\n", 1000, 60000},
        {"UID_MIN -5\nUID_MAX 4294967296\n", 1000, 60000},
        {"UID_MIN +1500\r\nUID_MAX 2000x\n", 1500, 2000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto range = platform::parse_login_uid_range(c.text);
        EXPECT_EQ(range.first, c.first);
        EXPECT_EQ(range.last, c.last);
    }
    const platform::LoginUidRange range;
    EXPECT_TRUE(platform::peer_may_connect(0, range));
    EXPECT_TRUE(platform::peer_may_connect(1000, range));
    EXPECT_FALSE(platform::peer_may_connect(999, range));
    EXPECT_FALSE(platform::peer_may_connect(65534, range));
}

}  // namespace
}  // namespace velnaro
