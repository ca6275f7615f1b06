#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/unlinked_tunnel_controller.hpp"
#include "ipc/client.hpp"
#include "ipc/ipc_self_test.hpp"
#include "ipc/pipe_server.hpp"
#include "platform/native.hpp"

namespace velnaro {
namespace {

using namespace std::chrono_literals;
constexpr std::string_view kPipe = "\\\\.\\pipe\\VelnaroVpnService.test";
constexpr std::string_view kVersionAnswer =
    R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})";

class NamedPipeTest : public ::testing::Test {
  protected:
    void start_server() {
        stop_ = std::make_shared<std::atomic<bool>>(false);
        server_ = std::thread([this] {
            run_pipe_server(
                runtime_,
                RequestContext{std::nullopt, std::make_unique<UnlinkedTunnelController>()}, stop_,
                kPipe);
        });
        for (int i = 0; i < 500 && !native_.get().pipes.pipe_exists(kPipe); ++i) {
            std::this_thread::sleep_for(2ms);
        }
    }
    void stop_server() {
        if (!server_.joinable())
            return;
        stop_->store(true);
        wake_pipe_server(native_.get(), kPipe);
        server_.join();
    }
    void TearDown() override { stop_server(); }

    std::string ask(std::string_view body) {
        auto answer = send_request(native_.get(), body, kPipe, 2s);
        return answer ? std::string(answer->begin(), answer->end())
                      : "<" + std::string(to_text(answer.error())) + ">";
    }

    platform::NativePlatform native_;
    wireguard::ComponentCell components_;
    Runtime runtime_{native_.get(), components_};
    std::shared_ptr<std::atomic<bool>> stop_;
    std::thread server_;
};

TEST_F(NamedPipeTest, OneInstanceServesClientAfterClient) {
    start_server();
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ask(R"({"command":"GET_VERSION"})"), kVersionAnswer);
    }
    EXPECT_EQ(ask(R"({"command":"NOPE"})"),
              R"({"type":"ERROR","payload":{"code":"IPC_REQUEST_INVALID"}})");
}

TEST_F(NamedPipeTest, ASecondServerCannotTakeTheName) {
    start_server();
    platform::NativePlatform other;
    const auto instance = other.get().pipes.create_server(kPipe);
    EXPECT_FALSE(instance) << "the first-instance rule holds";
    if (instance)
        other.get().pipes.close(*instance);
    EXPECT_EQ(ask(R"({"command":"GET_VERSION"})"), kVersionAnswer);
}

TEST_F(NamedPipeTest, AStalledClientIsDroppedAtTheLimit) {
    start_server();
    auto stalled = native_.get().pipes.open_client(kPipe, 1s, platform::ClientIdentity::identify);
    ASSERT_TRUE(stalled);
    const std::uint8_t half_header[] = {0x19, 0x00};
    ASSERT_EQ(native_.get().pipes.write(*stalled, half_header, 1s).status,
              platform::PipeIoStatus::done);
    const auto start = std::chrono::steady_clock::now();
    auto answer =
        send_request(native_.get(), R"({"command":"GET_VERSION"})", kPipe, kExchangeTimeLimit + 3s);
    const auto waited = std::chrono::steady_clock::now() - start;
    native_.get().pipes.close(*stalled);
    ASSERT_TRUE(answer);
    EXPECT_LT(waited, kExchangeTimeLimit + 3s);
}

// Each connection has a read of its own pending, so idle clients do not hold up the next one;
// the ninth unanswered connection of one account is closed at once.
TEST_F(NamedPipeTest, IdleClientsDelayNobodyAndOneAccountHoldsAtMostEight) {
    start_server();
    std::vector<platform::PipeHandle> idle;
    for (std::size_t i = 0; i + 1 < kUnansweredPerAccount; ++i) {
        auto client = native_.get().pipes.open_client(kPipe, 1s, platform::ClientIdentity::identify);
        ASSERT_TRUE(client);
        idle.push_back(*client);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(R"({"command":"GET_VERSION"})"), kVersionAnswer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    auto eighth = native_.get().pipes.open_client(kPipe, 1s, platform::ClientIdentity::identify);
    auto ninth = native_.get().pipes.open_client(kPipe, 1s, platform::ClientIdentity::identify);
    ASSERT_TRUE(eighth && ninth);
    std::uint8_t byte = 0;
    const auto read = native_.get().pipes.read(*ninth, {&byte, 1}, 3s);
    EXPECT_EQ(read.status, platform::PipeIoStatus::closed) << "closed at once, not timed out";
    for (auto handle : idle)
        native_.get().pipes.close(handle);
    native_.get().pipes.close(*eighth);
    native_.get().pipes.close(*ninth);
}

TEST_F(NamedPipeTest, StopsPromptlyWhileIdleAndOverAndOver) {
    for (int i = 0; i < 50; ++i) {
        start_server();
        const auto start = std::chrono::steady_clock::now();
        stop_server();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }
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
