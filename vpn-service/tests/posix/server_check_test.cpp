#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/posix/pipes.hpp"

namespace velnaro {
namespace {

using namespace std::chrono_literals;
constexpr uid_t kNobody = 65534;

// A listening socket bound by a child process running as `uid`, so the peer credentials
// the client sees are really another account's.
class ForeignServer {
  public:
    ForeignServer(const std::string& path, uid_t uid) {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        pid_t child = ::fork();
        if (child == 0) {
            ::close(ready[0]);
            serve_as(path, uid, ready[1]);
        }
        ::close(ready[1]);
        char byte = 0;
        listening_ = child > 0 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        pid_ = child;
    }
    ~ForeignServer() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    bool listening() const { return listening_; }

  private:
    // Only async-signal-safe calls: the test process has threads.
    [[noreturn]] static void serve_as(const std::string& path, uid_t uid, int ready) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::setgid(uid) != 0 || ::setuid(uid) != 0 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(fd, 4) != 0) {
            ::_exit(1);
        }
        const char byte = 1;
        if (::write(ready, &byte, 1) != 1)
            ::_exit(1);
        for (;;)
            ::pause();
    }

    pid_t pid_ = -1;
    bool listening_ = false;
};

class ServerCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to run a server as another account";
        char pattern[] = "/tmp/velnaro-server-check-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        ::chmod(directory_.c_str(), 0755);
        // A place where the other account may bind its socket.
        foreign_ = directory_ + "/foreign";
        ASSERT_EQ(::mkdir(foreign_.c_str(), 0755), 0);
        ASSERT_EQ(::chown(foreign_.c_str(), kNobody, kNobody), 0);
    }
    void TearDown() override {
        if (!directory_.empty())
            std::filesystem::remove_all(directory_);
    }

    // What a client that opens `path` learns of its server.
    platform::ServerCheck check_of(const std::string& path) {
        auto client = pipes_.open_client(path, 0ms, platform::ClientIdentity::identify);
        if (!client) {
            ADD_FAILURE() << "could not connect to " << path;
            return platform::ServerCheck::unverifiable;
        }
        return (*client)->verify_server();
    }

    platform::PosixPipes pipes_;
    std::string directory_;
    std::string foreign_;
};

TEST_F(ServerCheckTest, OnlyARootSocketFileServedByRootIsTheService) {
    const std::string root_socket = directory_ + "/service.sock";
    const auto server = pipes_.create_server(root_socket);
    ASSERT_TRUE(server);
    const std::string foreign_socket = foreign_ + "/impostor.sock";
    ForeignServer impostor(foreign_socket, kNobody);
    ASSERT_TRUE(impostor.listening());

    decltype(pipes_.create_server("")) other;  // a second root server, kept for the case
    struct Case {
        const char* name;
        std::function<std::string()> arrange;  // gives the path the client opens
        platform::ServerCheck expected;
    };
    const std::vector<Case> cases = {
        {"the service's own socket", [&] { return root_socket; },
         platform::ServerCheck::privileged_service},
        {"a socket bound by another account", [&] { return foreign_socket; },
         platform::ServerCheck::other_account},
        {"another account's socket handed over to root",
         [&] {
             // The file looks right; the credentials of the listener still tell.
             EXPECT_EQ(::lchown(foreign_socket.c_str(), 0, 0), 0);
             return foreign_socket;
         },
         platform::ServerCheck::other_account},
        {"a link to the service's socket",
         [&] {
             const std::string link = directory_ + "/link.sock";
             EXPECT_EQ(::symlink(root_socket.c_str(), link.c_str()), 0);
             return link;
         },
         platform::ServerCheck::other_account},
        {"the service's socket file owned by another account",
         [&] {
             const std::string moved = directory_ + "/moved.sock";
             other = pipes_.create_server(moved);
             EXPECT_TRUE(other);
             EXPECT_EQ(::lchown(moved.c_str(), kNobody, kNobody), 0);
             return moved;
         },
         platform::ServerCheck::other_account},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(check_of(c.arrange()), c.expected);
    }
}

}  // namespace
}  // namespace velnaro
