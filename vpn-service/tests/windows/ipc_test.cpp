#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "contract/pipes_contract.hpp"
#include "ipc_client/client.hpp"
#include "ipc_client/frames.hpp"
#include "ipc/ipc_self_test.hpp"
#include "ipc/pipe_server.hpp"
#include "platform/native.hpp"
#include "platform/windows/wide.hpp"
#include "wireguard/components.hpp"

// Last: its macros clash with names above.
#include <windows.h>

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

// A bare client with a blocking handle, as a third party writes one.
struct RawClient {
    RawClient() {
        const auto name = *platform::to_wide(kPipe);
        ::WaitNamedPipeW(name.c_str(), 1000);
        pipe = ::CreateFileW(name.c_str(), FILE_GENERIC_READ | FILE_WRITE_DATA, 0, nullptr,
                             OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                             nullptr);
    }
    ~RawClient() { ::CloseHandle(pipe); }
    void ask_version() {
        const std::string body = R"({"command":"GET_VERSION"})";
        const auto header = frame_header(static_cast<std::uint32_t>(body.size()));
        const std::string frame = std::string(header.begin(), header.end()) + body;
        DWORD put = 0;
        ::WriteFile(pipe, frame.data(), static_cast<DWORD>(frame.size()), &put, nullptr);
    }
    // Reads until the server ends its end: the error then, and the bytes read. Disconnected:
    // ERROR_PIPE_NOT_CONNECTED, what was unread is gone; closed bare: the unread bytes, then
    // ERROR_BROKEN_PIPE.
    std::pair<DWORD, DWORD> end_seen() {
        char bytes[256];
        DWORD got = 0, total = 0;
        while (::ReadFile(pipe, bytes, sizeof bytes, &got, nullptr) && got > 0)
            total += got;
        return {::GetLastError(), total};
    }
    HANDLE pipe = INVALID_HANDLE_VALUE;
};

// Every end of a server's connection is a disconnect, so that no end stays counted against
// the instances until its client lets go.
TEST_F(NamedPipeTest, EveryEndOfAConnectionIsADisconnect) {
    using Seen = std::pair<DWORD, DWORD>;
    server_.start();
    RawClient late;  // says nothing: dropped when its time runs out
    {
        RawClient answered;
        answered.ask_version();
        EXPECT_EQ(answered.end_seen(), Seen(ERROR_PIPE_NOT_CONNECTED, 4 + kVersionAnswer.size()));
    }
    std::vector<std::unique_ptr<RawClient>> idle(kUnansweredPerAccount - 1);
    for (auto& client : idle)
        client = std::make_unique<RawClient>();
    EXPECT_EQ(RawClient().end_seen(), Seen(ERROR_PIPE_NOT_CONNECTED, 0)) << "over the share";
    EXPECT_EQ(late.end_seen(), Seen(ERROR_PIPE_NOT_CONNECTED, 0)) << "its time ran out";

    // A stop ends the connections still delivering at once, their unread answers with them.
    idle.clear();
    RawClient unread;
    unread.ask_version();
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    server_.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(unread.end_seen(), Seen(ERROR_PIPE_NOT_CONNECTED, 0));
}

TEST(IpcSelfTestUnderWine, PassesWithThePrivateServer) {
    platform::NativePlatform native;
    wireguard::ComponentCell components;
    Runtime runtime{native.get(), components};
    const IpcSelfTestResult result = run_ipc_self_test(runtime, kPipe);
    EXPECT_TRUE(result.success) << (result.failure ? to_text(result.failure->code) : "");
    EXPECT_FALSE(native.get().pipes.pipe_exists(kPipe)) << "the private server is gone";
}

}  // namespace
}  // namespace velnaro
