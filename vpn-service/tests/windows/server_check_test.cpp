#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/windows/pipe_endpoint.hpp"
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

namespace velnaro::platform {
namespace {

using namespace std::chrono_literals;

// One instance always waits for the next client: a client beyond the 63 connections is
// closed at once and the name stays served, also once every connection has ended together.
// (Wine ignores the first-instance flag, so whether a squatter could take the name shows
// only on Windows.)
TEST(WindowsPipeServer, KeepsOneInstanceWaitingBeyondTheMostConnections) {
    constexpr std::string_view kName = "\\\\.\\pipe\\VelnaroVpnService.most-connections";
    Win32Pipes pipes;
    auto server = pipes.create_server(kName);
    ASSERT_TRUE(server);
    std::vector<std::unique_ptr<PipeConnection>> clients, accepted;
    const auto accept_next = [&] {
        auto client = pipes.open_client(kName, 1s, ClientIdentity::identify);
        ASSERT_TRUE(client) << client.error().os.code;
        clients.push_back(std::move(*client));
        for (auto& event : (*server)->wait_for_events(1s).value_or(std::vector<PipeEvent>{})) {
            if (event.accepted)
                accepted.push_back(std::move(event.accepted));
        }
    };
    for (int i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i)
        accept_next();
    EXPECT_EQ(accepted.size(), static_cast<std::size_t>(MAXIMUM_WAIT_OBJECTS - 1));
    std::uint8_t byte = 0;
    EXPECT_EQ(clients.back()->read({&byte, 1}, 1s).status, PipeIoStatus::closed);
    EXPECT_TRUE(pipes.pipe_exists(kName));

    accepted.clear();
    clients.clear();
    accept_next();
    EXPECT_EQ(accepted.size(), 1u) << "served again after every connection ended together";
}

// Every server end is closed through one function: the over-63 client, a refused or late
// one, an unidentified one whose time ran out, a delivered answer.
TEST(WindowsPipeServer, DisconnectsAServerEndBeforeClosingIt) {
    static std::vector<std::string> calls;
    const ServerEndCalls doubles{
        [](HANDLE) -> BOOL { return calls.push_back("disconnect"), TRUE; },
        [](HANDLE) -> BOOL { return calls.push_back("close"), TRUE; }};
    close_server_end(reinterpret_cast<HANDLE>(1), doubles);
    EXPECT_EQ(calls, (std::vector<std::string>{"disconnect", "close"}));
}

}  // namespace
}  // namespace velnaro::platform
