#include <gtest/gtest.h>

#include <chrono>

#include "platform/windows/pipes.hpp"

namespace velnaro {
namespace {

using namespace std::chrono_literals;
constexpr std::string_view kPipe = "\\\\.\\pipe\\VelnaroVpnService.server-check-test";

// The test runs as an ordinary account (Wine's user, or a developer's), so a server it
// creates itself is exactly the impostor a client has to refuse.
TEST(NamedPipeServerCheck, AServerOutsideTheSystemAccountIsRefused) {
    platform::Win32Pipes pipes;
    const auto server = pipes.create_server(kPipe);
    ASSERT_TRUE(server);
    const auto client = pipes.open_client(kPipe, 1s, platform::ClientIdentity::identify);
    ASSERT_TRUE(client);
    const auto check = (*client)->verify_server();
    if (check == platform::ServerCheck::unverifiable) {
        GTEST_SKIP() << "this system does not tell the account of a pipe's server process "
                        "(GetNamedPipeServerProcessId, OpenProcessToken or TokenUser missing)";
    }
    EXPECT_EQ(check, platform::ServerCheck::other_account);
}

// A server's own connection is never vouched for: the contract suite.

}  // namespace
}  // namespace velnaro
