// The client side of the named pipe as it meets a real pipe: clients that race for the one
// instance, and what a client lends the server of its identity.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "contract/pipes_contract.hpp"
#include "ipc_client/client.hpp"
#include "platform/native.hpp"
#include "platform/windows/wide.hpp"
#include "wireguard/components.hpp"

#include <windows.h>

namespace velnaro {
namespace {

using namespace std::chrono_literals;
constexpr std::string_view kPipe = "\\\\.\\pipe\\VelnaroVpnService.client-test";

// WaitNamedPipeW wakes every waiter, and only one of them can open the instance; the others
// must go back to waiting instead of failing their try.
TEST(NamedPipeClients, ClientsRacingForTheOneInstanceAreAllServed) {
    platform::NativePlatform native;
    wireguard::ComponentCell components;
    Runtime runtime{native.get(), components};
    contract::ServerThread server(runtime, std::string(kPipe));
    server.start();

    constexpr int kClients = 3;
    constexpr int kRequests = 10;
    std::atomic<int> answered = 0;
    std::vector<std::string> failures(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            platform::NativePlatform own;  // each client with its own handles, as processes
            for (int r = 0; r < kRequests; ++r) {
                auto answer = send_request(own.get(), R"({"command":"GET_VERSION"})", kPipe, 10s);
                if (answer)
                    ++answered;
                else
                    failures[c] = to_text(answer.error());
            }
        });
    }
    for (auto& client : clients)
        client.join();
    server.stop();
    EXPECT_EQ(answered.load(), kClients * kRequests);
    for (const auto& failure : failures)
        EXPECT_EQ(failure, "");
}

// The level at which a bare server can act for the client that `open_client` connects, read
// with ImpersonateNamedPipeClient; nothing where the system does not say. `open_client`
// connects and sends one byte.
template <class OpenClient>
std::optional<SECURITY_IMPERSONATION_LEVEL> level_seen_by_server(OpenClient open_client) {
    const auto name = platform::to_wide(kPipe);
    HANDLE server = ::CreateNamedPipeW(name->c_str(), PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_BYTE | PIPE_WAIT, 1, 512, 512, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::optional<SECURITY_IMPERSONATION_LEVEL> level;
    if (auto close_client = open_client()) {
        std::uint8_t read = 0;
        DWORD got = 0;
        ::ReadFile(server, &read, 1, &got, nullptr);
        if (::ImpersonateNamedPipeClient(server)) {
            HANDLE token = nullptr;
            if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
                SECURITY_IMPERSONATION_LEVEL seen{};
                DWORD size = 0;
                if (::GetTokenInformation(token, TokenImpersonationLevel, &seen, sizeof seen,
                                          &size))
                    level = seen;
                ::CloseHandle(token);
            }
            ::RevertToSelf();
        }
        close_client();
    }
    ::CloseHandle(server);
    return level;
}

std::function<void()> open_with(platform::Platform& platform, platform::ClientIdentity identity) {
    auto client = platform.pipes.open_client(kPipe, 1s, identity);
    if (!client)
        return {};
    const std::uint8_t byte = 1;
    (*client)->write({&byte, 1}, 1s);
    std::shared_ptr<platform::PipeConnection> held = std::move(*client);
    return [held]() mutable { held.reset(); };
}

TEST(NamedPipeClients, NoClientLendsMoreThanItsIdentity) {
    // Whether this system honours the flags at all, asked with the bare call.
    const auto honoured = level_seen_by_server([]() -> std::function<void()> {
        const auto name = platform::to_wide(kPipe);
        HANDLE raw =
            ::CreateFileW(name->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (raw == INVALID_HANDLE_VALUE)
            return {};
        DWORD put = 0;
        const std::uint8_t byte = 1;
        ::WriteFile(raw, &byte, 1, &put, nullptr);
        return [raw] { ::CloseHandle(raw); };
    });
    if (!honoured || *honoured != SecurityIdentification) {
        GTEST_SKIP() << "this system does not apply a pipe client's quality-of-service flags "
                        "to the server's impersonation (Wine does not); confirm on Windows";
    }
    platform::NativePlatform native;
    EXPECT_EQ(level_seen_by_server(
                  [&] { return open_with(native.get(), platform::ClientIdentity::identify); }),
              SecurityIdentification);
    // An anonymous token cannot even be opened, which leaves nothing seen.
    const auto anonymous = level_seen_by_server(
        [&] { return open_with(native.get(), platform::ClientIdentity::anonymous); });
    EXPECT_TRUE(!anonymous || *anonymous == SecurityAnonymous);
}

}  // namespace
}  // namespace velnaro
