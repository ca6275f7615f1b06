#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "contract/pipes_contract.hpp"
#include "ipc_client/client.hpp"
#include "ipc_client/frames.hpp"
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

    // The answered connection counts until the server has seen its answer taken, so either
    // of the next two, or both, may be over the cap; never neither.
    auto eighth = native_.get().pipes.open_client(kPipe, 1s, platform::ClientIdentity::identify);
    auto ninth = native_.get().pipes.open_client(kPipe, 1s, platform::ClientIdentity::identify);
    ASSERT_TRUE(eighth && ninth);
    int closed = 0;
    for (auto* client : {&*eighth, &*ninth}) {
        std::uint8_t byte = 0;
        closed += (*client)->read({&byte, 1}, 1s).status == platform::PipeIoStatus::closed;
    }
    EXPECT_GE(closed, 1) << "closed at once, not kept";
}

// A client that asks and never reads its answer keeps its connection until the exchange
// limit, but holds nobody else: the server waits for it beside everything else. Wine runs
// every process under one account, so the stalled clients stay within that account's share,
// leaving room for the poller and the last request.
TEST_F(NamedPipeTest, ClientsThatNeverReadTheirAnswerHoldNobody) {
    using Clock = std::chrono::steady_clock;
    server_.start();
    const std::string body = R"({"command":"GET_VERSION"})";
    std::vector<std::uint8_t> frame(body.begin(), body.end());
    const auto header = frame_header(static_cast<std::uint32_t>(body.size()));
    frame.insert(frame.begin(), header.begin(), header.end());
    std::vector<std::unique_ptr<platform::PipeConnection>> stalled;
    for (std::size_t i = 0; i + 3 < kUnansweredPerAccount; ++i) {
        auto client =
            native_.get().pipes.open_client(kPipe, 2s, platform::ClientIdentity::identify);
        ASSERT_TRUE(client) << client.error().os.operation << " " << client.error().os.code;
        ASSERT_EQ((*client)->write(frame, 1s).status, platform::PipeIoStatus::done);
        stalled.push_back(std::move(*client));
    }
    std::this_thread::sleep_for(500ms);  // answered by now, and waiting to be read
    Clock::duration longest_gap{};
    std::jthread poller([&](std::stop_token stop) {
        for (auto last = Clock::now(); !stop.stop_requested(); std::this_thread::sleep_for(50ms)) {
            if (ask(R"({"command":"GET_STATUS"})").starts_with(R"({"type":"STATUS")")) {
                longest_gap = std::max(longest_gap, Clock::now() - last);
                last = Clock::now();
            }
        }
    });

    const auto start = Clock::now();
    EXPECT_EQ(ask(body), kVersionAnswer);
    EXPECT_LT(Clock::now() - start, 1s);
    std::this_thread::sleep_for(2s);
    poller.request_stop();
    poller.join();
    EXPECT_LT(longest_gap, 1s) << "the status was answered all along";
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
