#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "contract/pipes_contract.hpp"
#include "ipc_client/client.hpp"
#include "ipc/ipc_self_test.hpp"
#include "ipc/pipe_server.hpp"
#include "platform/native.hpp"
#include "wireguard/components.hpp"

namespace velnaro {
namespace {

using namespace std::chrono_literals;
constexpr std::string_view kPipe = "\\\\.\\pipe\\VelnaroVpnService.test";
constexpr std::string_view kVersionAnswer =
    R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})";

class NamedPipeTest : public ::testing::Test {
  protected:
    std::string ask(std::string_view body) {
        auto answer = send_request(native_.get(), body, kPipe, 2s);
        return answer ? std::string(answer->begin(), answer->end())
                      : "<" + std::string(to_text(answer.error())) + ">";
    }

    platform::NativePlatform native_;
    wireguard::ComponentCell components_;
    Runtime runtime_{native_.get(), components_};
    contract::ServerThread server_{runtime_, std::string(kPipe)};
};

// Serving client after client, keeping the name, dropping a stalled client and stopping:
// the contract suite.

// Each connection has a read of its own pending, so idle clients do not hold up the next one;
// the ninth unanswered connection of one account is closed at once.
TEST_F(NamedPipeTest, IdleClientsDelayNobodyAndOneAccountHoldsAtMostEight) {
    server_.start();
    std::vector<std::unique_ptr<platform::PipeConnection>> idle;
    for (std::size_t i = 0; i + 1 < kUnansweredPerAccount; ++i) {
        auto client =
            native_.get().pipes.open_client(kPipe, 1s, platform::ClientIdentity::identify);
        ASSERT_TRUE(client);
        idle.push_back(std::move(*client));
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(R"({"command":"GET_VERSION"})"), kVersionAnswer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    auto eighth = native_.get().pipes.open_client(kPipe, 1s, platform::ClientIdentity::identify);
    auto ninth = native_.get().pipes.open_client(kPipe, 1s, platform::ClientIdentity::identify);
    ASSERT_TRUE(eighth && ninth);
    std::uint8_t byte = 0;
    const auto read = (*ninth)->read({&byte, 1}, 3s);
    EXPECT_EQ(read.status, platform::PipeIoStatus::closed) << "closed at once, not timed out";
}

TEST(IpcSelfTestUnderWine, PassesWithThePrivateServer) {
    platform::NativePlatform native;
    wireguard::ComponentCell components;
    Runtime runtime{native.get(), components};
    const IpcSelfTestResult result = run_ipc_self_test(runtime, kPipe);
    EXPECT_TRUE(result.success) << (result.detail_code ? to_text(*result.detail_code) : "");
    EXPECT_FALSE(native.get().pipes.pipe_exists(kPipe)) << "the private server is gone";
}

}  // namespace
}  // namespace velnaro
