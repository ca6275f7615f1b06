#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "dispatch/unlinked_tunnel_controller.hpp"
#include "fake/fake_platform.hpp"
#include "ipc/client.hpp"
#include "ipc/ipc_self_test.hpp"
#include "ipc/pipe_server.hpp"

namespace velnaro {
namespace {

using fake::FakeConnection;
using fake::frame_of;
using Chunks = std::vector<std::vector<std::uint8_t>>;

constexpr std::string_view kPipe = "test-pipe";
constexpr std::string_view kVersionBody = R"({"command":"GET_VERSION"})";
constexpr std::string_view kVersionAnswer =
    R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})";

std::string error_answer(std::string_view code) {
    return std::string(R"({"type":"ERROR","payload":{"code":")") + std::string(code) + "\"}}";
}

// The body of the one frame the server wrote, "" when nothing, "<partial>" when cut short.
std::string answer_of(const FakeConnection& connection) {
    const auto& bytes = connection.from_server;
    if (bytes.empty())
        return "";
    if (bytes.size() < 4)
        return "<partial>";
    const std::size_t size = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24;
    if (bytes.size() != 4 + size)
        return "<partial>";
    return std::string(bytes.begin() + 4, bytes.end());
}

Chunks split_bytes(const std::vector<std::uint8_t>& bytes) {
    Chunks chunks;
    for (auto byte : bytes)
        chunks.push_back({byte});
    return chunks;
}

std::vector<std::uint8_t> header_only(std::uint32_t size) {
    return {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
            static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)};
}

struct CountingController final : TunnelController {
    explicit CountingController(int& destroyed) : destroyed_(destroyed) {}
    ~CountingController() override { ++destroyed_; }
    ConnectionStatus status() override { return {}; }
    Status apply_config(const TunnelConfig&) override { return {}; }
    Status start() override { return {}; }
    Status stop() override { return {}; }
    Status repair() override { return {}; }
    int& destroyed_;
};

class PipeServerTest : public ::testing::Test {
  protected:
    PipeServerTest() {
        fake.pipes.on_idle = [this] { stop->store(true); };
    }
    void run() {
        run_pipe_server(
            fake.runtime,
            RequestContext{std::nullopt, std::make_unique<CountingController>(destroyed)}, stop,
            kPipe);
    }
    fake::FakePlatform fake;
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    int destroyed = 0;
};

struct ExchangeCase {
    const char* name;
    Chunks chunks;
    std::string expected_answer;
};

TEST_F(PipeServerTest, AnswersEachKindOfClientWithOneFrame) {
    std::vector<std::uint8_t> two_frames = frame_of(kVersionBody);
    const auto second = frame_of(R"({"command":"GET_STATUS"})");
    two_frames.insert(two_frames.end(), second.begin(), second.end());
    const auto full = frame_of(kVersionBody);
    const std::vector<ExchangeCase> cases = {
        {"whole frame", {full}, std::string(kVersionAnswer)},
        {"one byte per write", split_bytes(full), std::string(kVersionAnswer)},
        {"two frames, one answer", {two_frames}, std::string(kVersionAnswer)},
        {"header of zero", {header_only(0)}, error_answer("IPC_MESSAGE_SIZE_INVALID")},
        {"header of 65537", {header_only(65537)}, error_answer("IPC_MESSAGE_SIZE_INVALID")},
        {"gone before the header", {{0x19, 0x00}}, error_answer("IPC_READ_FAILED")},
        {"gone in the body", {header_only(25), {'{'}}, error_answer("IPC_READ_FAILED")},
        {"gone at once", {}, error_answer("IPC_READ_FAILED")},
        {"not a request", {frame_of(R"({"command":"NOPE"})")}, error_answer("IPC_REQUEST_INVALID")},
    };
    std::vector<std::shared_ptr<FakeConnection>> connections;
    for (const auto& c : cases)
        connections.push_back(fake.pipes.queue_client(c.chunks));
    run();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(answer_of(*connections[i]), cases[i].expected_answer);
        EXPECT_TRUE(connections[i]->disconnected);
    }
    // The header of 65537 was refused without reading the announced body.
    EXPECT_EQ(fake.pipes.servers_created(), 1) << "the one instance serves every client";
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(fake.pipes.open_endpoints(), 0);
}

TEST_F(PipeServerTest, DropsAStalledClientAtTheLimitAndServesTheNext) {
    const auto start = fake.system.monotonic;
    auto stalled = fake.pipes.queue_client({{0x19, 0x00}}, FakeConnection::End::stall);
    auto next = fake.pipes.queue_client({frame_of(kVersionBody)});
    run();
    EXPECT_EQ(answer_of(*stalled), "") << "a stalled client gets no answer";
    EXPECT_TRUE(stalled->disconnected);
    EXPECT_GE(fake.system.monotonic - start, kExchangeTimeLimit);
    EXPECT_LT(fake.system.monotonic - start, kExchangeTimeLimit + std::chrono::seconds(1));
    EXPECT_EQ(answer_of(*next), kVersionAnswer);
}

TEST_F(PipeServerTest, WritesTheAnswerThroughShortWrites) {
    auto client = fake.pipes.queue_client({frame_of(kVersionBody)});
    client->write_chunk_limit = 3;
    run();
    EXPECT_EQ(answer_of(*client), kVersionAnswer);
    EXPECT_TRUE(client->flushed);
}

TEST_F(PipeServerTest, AVanishedReaderOrFailedWriteCostsOnlyThatClient) {
    auto vanished = fake.pipes.queue_client({frame_of(kVersionBody)});
    vanished->reader_gone = true;
    auto refused = fake.pipes.queue_client({frame_of(kVersionBody)});
    auto served = fake.pipes.queue_client({frame_of(kVersionBody)});
    fake.faults.fail_nth("pipe_write", 2);  // the first write of the second client
    run();
    EXPECT_EQ(answer_of(*refused), "");
    EXPECT_FALSE(refused->flushed) << "a frame that could not be written is not flushed";
    EXPECT_EQ(answer_of(*served), kVersionAnswer);
}

TEST_F(PipeServerTest, ReplacesTheInstanceOnlyWhenItBreaks) {
    auto first = fake.pipes.queue_client({frame_of(kVersionBody)});
    auto second = fake.pipes.queue_client({frame_of(kVersionBody)});
    fake.faults.fail_nth("pipe_disconnect", 1);
    fake.faults.fail_nth("wait_for_client", 2);
    run();
    EXPECT_EQ(answer_of(*first), kVersionAnswer);
    EXPECT_EQ(answer_of(*second), kVersionAnswer);
    EXPECT_EQ(fake.pipes.servers_created(), 3);
    EXPECT_EQ(fake.pipes.open_endpoints(), 0);
}

TEST_F(PipeServerTest, EndsWhenTheInstanceCannotBeCreated) {
    struct Case {
        const char* name;
        std::function<void(fake::FakePlatform&)> arrange;
        int creations;
    };
    const std::vector<Case> cases = {
        {"first creation", [](auto& f) { f.faults.fail_nth("create_pipe", 1); }, 0},
        {"name held by another server",
         [](auto& f) { f.pipes.hold_name_elsewhere(std::string(kPipe)); }, 0},
        {"recreation after a broken wait",
         [](auto& f) {
             f.faults.fail_nth("wait_for_client", 1);
             f.faults.fail_nth("create_pipe", 2);
         },
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform local;
        c.arrange(local);
        bool idled = false;
        local.pipes.on_idle = [&] { idled = true; };
        int gone = 0;
        run_pipe_server(local.runtime,
                        RequestContext{std::nullopt, std::make_unique<CountingController>(gone)},
                        std::make_shared<std::atomic<bool>>(false), kPipe);
        EXPECT_EQ(local.pipes.servers_created(), c.creations);
        EXPECT_FALSE(idled);
        EXPECT_EQ(gone, 1);
    }
}

TEST_F(PipeServerTest, AClientThatArrivesWithTheStopIsNotAnswered) {
    std::shared_ptr<FakeConnection> wake_up;
    fake.pipes.on_idle = [&] {
        stop->store(true);
        wake_up = fake.pipes.queue_client({frame_of(kVersionBody)});
    };
    run();
    ASSERT_TRUE(wake_up);
    EXPECT_EQ(answer_of(*wake_up), "");
    EXPECT_TRUE(wake_up->disconnected);
}

TEST_F(PipeServerTest, StopWhileWaitingEndsTheServerWithoutAnyWakeUp) {
    fake.pipes.on_idle = nullptr;  // real waits of kStopCheckInterval
    std::thread server([&] { run(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    stop->store(true);
    server.join();
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(fake.pipes.open_endpoints(), 0);
}

// The controller sets the stop while the request is being handled, as a stop control that
// arrives mid-exchange would.
struct StoppingController final : TunnelController {
    explicit StoppingController(std::shared_ptr<std::atomic<bool>> stop) : stop_(std::move(stop)) {}
    ConnectionStatus status() override {
        stop_->store(true);
        return {};
    }
    Status apply_config(const TunnelConfig&) override { return {}; }
    Status start() override { return {}; }
    Status stop() override { return {}; }
    Status repair() override { return {}; }
    std::shared_ptr<std::atomic<bool>> stop_;
};

TEST_F(PipeServerTest, StopWhileServingCompletesTheExchangeThenEnds) {
    auto client = fake.pipes.queue_client({frame_of(R"({"command":"GET_STATUS"})")});
    auto after = fake.pipes.queue_client({frame_of(kVersionBody)});
    fake.pipes.on_idle = nullptr;
    run_pipe_server(fake.runtime,
                    RequestContext{std::nullopt, std::make_unique<StoppingController>(stop)}, stop,
                    kPipe);
    EXPECT_EQ(answer_of(*client).substr(0, 17), R"({"type":"STATUS",)");
    EXPECT_EQ(answer_of(*after), "") << "nobody is served after the stop";
}

TEST(IpcSelfTest, ExchangesWithAPrivateServerThatIsGoneAfterwards) {
    fake::FakePlatform fake;
    fake.pipes.on_idle = nullptr;
    fake.pipes.open_waits_for_server = true;
    const IpcSelfTestResult result = run_ipc_self_test(fake.runtime, kPipe);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.detail_code, std::nullopt);
    EXPECT_EQ(fake.pipes.servers_created(), 1);
    EXPECT_EQ(fake.pipes.open_endpoints(), 0);
}

TEST(IpcSelfTest, UsesTheRunningServiceInsteadOfRacingItForTheName) {
    fake::FakePlatform fake;
    fake.pipes.on_idle = nullptr;
    fake.pipes.open_waits_for_server = true;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    std::thread service([&] {
        run_pipe_server(fake.runtime,
                        RequestContext{std::nullopt, std::make_unique<UnlinkedTunnelController>()},
                        stop, kPipe);
    });
    while (!fake.platform.pipes.pipe_exists(kPipe))
        std::this_thread::yield();
    const IpcSelfTestResult result = run_ipc_self_test(fake.runtime, kPipe);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(fake.pipes.servers_created(), 1) << "no private server was started";
    EXPECT_TRUE(fake.platform.pipes.pipe_exists(kPipe)) << "the service keeps its pipe";
    stop->store(true);
    wake_pipe_server(fake.platform, kPipe);
    service.join();
}

TEST(IpcSelfTest, ReportsEachFailureOfTheExchange) {
    struct Case {
        const char* name;
        std::function<void(fake::FakePlatform&)> arrange;
        DetailCode expected;
    };
    const std::vector<Case> cases = {
        {"no server at all",
         [](auto& f) {
             f.faults.fail_always("create_pipe");
             f.pipes.open_waits_for_server = false;
         },
         DetailCode::IPC_SELF_TEST_PIPE_UNAVAILABLE},
        {"open refused", [](auto& f) { f.faults.fail_nth("open_pipe", 1); },
         DetailCode::IPC_SELF_TEST_EXCHANGE_FAILED},
        {"request not written", [](auto& f) { f.faults.fail_nth("pipe_write", 1); },
         DetailCode::IPC_WRITE_FAILED},
        // Only the client's reads fail: a server that failed to read could answer and hang
        // up before the request was written, and the client would see a write failure.
        {"answer not read", [](auto& f) { f.faults.fail_always("client_pipe_read"); },
         DetailCode::IPC_READ_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform fake;
        fake.pipes.on_idle = nullptr;
        fake.pipes.open_waits_for_server = true;
        c.arrange(fake);
        const auto before = fake.system.monotonic;
        const IpcSelfTestResult result = run_ipc_self_test(fake.runtime, kPipe);
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.detail_code, c.expected);
        if (c.expected == DetailCode::IPC_SELF_TEST_PIPE_UNAVAILABLE) {
            EXPECT_GE(fake.system.monotonic - before, kSelfTestPatience);
            EXPECT_LT(fake.system.monotonic - before,
                      kSelfTestPatience + std::chrono::milliseconds(50));
        }
    }
}

TEST(IpcSelfTest, PrintsThePipeNameAsJsonText) {
    EXPECT_EQ(to_json(IpcSelfTestResult{true, "\\\\.\\pipe\\X", std::nullopt}),
              R"({"success":true,"pipeName":"\\\\.\\pipe\\X","detailCode":null})");
    EXPECT_EQ(to_json(IpcSelfTestResult{false, "/run/x.sock", DetailCode::IPC_READ_FAILED}),
              R"({"success":false,"pipeName":"/run/x.sock","detailCode":"IPC_READ_FAILED"})");
}

}  // namespace
}  // namespace velnaro
