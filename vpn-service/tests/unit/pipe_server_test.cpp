#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "dispatch/unlinked_tunnel_controller.hpp"
#include "fake/fake_platform.hpp"
#include "ipc_client/client.hpp"
#include "ipc_client/frames.hpp"
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
    Outcome<void> apply_config(const TunnelConfig&) override { return {}; }
    Outcome<void> start() override { return {}; }
    Outcome<void> stop() override { return {}; }
    Outcome<void> repair() override { return {}; }
    int& destroyed_;
};

class PipeServerTest : public ::testing::Test {
  protected:
    PipeServerTest() {
        fake.pipes.on_idle = [this] { stop->store(true); };
    }
    // State changes are answered from the worker thread, so an idle wait alone does not
    // mean that everything is answered.
    void stop_once_all_answered(const std::vector<std::shared_ptr<FakeConnection>>& clients) {
        fake.pipes.on_idle = [this, clients] {
            if (std::ranges::all_of(clients, [](const auto& c) { return c->disconnected; }))
                stop->store(true);
        };
    }
    Outcome<void> run() {
        return run_pipe_server(
            fake.runtime, RequestContext{nullptr, std::make_unique<CountingController>(destroyed)},
            stop, kPipe);
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
    EXPECT_TRUE(run());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(answer_of(*connections[i]), cases[i].expected_answer);
        EXPECT_TRUE(connections[i]->disconnected);
    }
    // The header of 65537 was refused without reading the announced body.
    EXPECT_EQ(fake.pipes.servers_created(), 1) << "the one server serves every client";
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
    EXPECT_TRUE(client->awaiting_delivery);
}

TEST_F(PipeServerTest, AVanishedReaderOrFailedWriteCostsOnlyThatClient) {
    auto vanished = fake.pipes.queue_client({frame_of(kVersionBody)});
    vanished->reader_gone = true;
    auto refused = fake.pipes.queue_client({frame_of(kVersionBody)});
    auto served = fake.pipes.queue_client({frame_of(kVersionBody)});
    fake.faults.fail_nth("pipe_write", 2);  // the first write of the second client
    run();
    EXPECT_EQ(answer_of(*refused), "");
    EXPECT_FALSE(refused->awaiting_delivery) << "a frame that could not be written is not waited for";
    EXPECT_EQ(answer_of(*served), kVersionAnswer);
}

TEST_F(PipeServerTest, ReplacesTheServerOnlyWhenItBreaks) {
    auto first = fake.pipes.queue_client({frame_of(kVersionBody)});
    fake.faults.fail_nth("wait_for_events", 1);
    EXPECT_TRUE(run());
    EXPECT_EQ(answer_of(*first), kVersionAnswer);
    EXPECT_EQ(fake.pipes.servers_created(), 2);
    EXPECT_EQ(fake.pipes.open_endpoints(), 0);
    ASSERT_EQ(fake.log.lines.size(), 1u) << "the broken wait is logged with the system's reason";
    EXPECT_EQ(fake.log.lines[0].priority, platform::LogPriority::warning);
    EXPECT_EQ(fake.log.lines[0].os_error, 5);
    EXPECT_EQ(fake.log.lines[0].subject, kPipe);
}

TEST_F(PipeServerTest, FailsWithItsCodeWhenTheNameCannotBeHeld) {
    struct Case {
        const char* name;
        std::function<void(fake::FakePlatform&)> arrange;
        int creations;
        DetailCode code;
    };
    const std::vector<Case> cases = {
        {"first creation", [](auto& f) { f.faults.fail_nth("create_pipe", 1); }, 0,
         DetailCode::IPC_PIPE_CREATE_FAILED},
        {"name held by another server",
         [](auto& f) { f.pipes.hold_name_elsewhere(std::string(kPipe)); }, 0,
         DetailCode::IPC_PIPE_IN_USE},
        {"recreation after a broken wait",
         [](auto& f) {
             f.faults.fail_nth("wait_for_events", 1);
             f.faults.fail_nth("create_pipe", 2);
         },
         1, DetailCode::IPC_PIPE_CREATE_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform local;
        c.arrange(local);
        bool idled = false;
        local.pipes.on_idle = [&] { idled = true; };
        int gone = 0;
        const Outcome<void> outcome = run_pipe_server(
            local.runtime, RequestContext{nullptr, std::make_unique<CountingController>(gone)},
            std::make_shared<std::atomic<bool>>(false), kPipe);
        EXPECT_EQ(outcome, fail(c.code));
        EXPECT_EQ(local.pipes.servers_created(), c.creations);
        EXPECT_FALSE(idled);
        EXPECT_EQ(gone, 1);
        ASSERT_TRUE(outcome.error().cause) << "why the name is lost travels with the code";
        EXPECT_NE(outcome.error().cause->code, 0u);
        EXPECT_EQ(outcome.error().cause->subject, kPipe);
        for (const auto& line : local.log.lines)
            EXPECT_NE(line.code, c.code) << "the service's give-up logs it, not the server";
    }
}

TEST_F(PipeServerTest, AnswersInTheOrderRequestsBecomeComplete) {
    const auto full = frame_of(kVersionBody);
    auto slow = fake.pipes.queue_client(split_bytes(full));
    auto quick = fake.pipes.queue_client({full});
    auto middle = fake.pipes.queue_client(
        {{full.begin(), full.begin() + 10}, {full.begin() + 10, full.end()}});
    slow->caller.account = "slow";
    EXPECT_TRUE(run());
    EXPECT_EQ(quick->answered_as, 1) << "a slow client does not hold up a quick one";
    EXPECT_EQ(middle->answered_as, 2);
    EXPECT_EQ(slow->answered_as, 3);
    EXPECT_EQ(answer_of(*slow), kVersionAnswer);
}

TEST_F(PipeServerTest, OneAccountHoldsAtMostItsShareOfConnections) {
    const auto start = fake.system.monotonic;
    std::vector<std::shared_ptr<FakeConnection>> idle;
    for (std::size_t i = 0; i <= kUnansweredPerAccount; ++i) {
        idle.push_back(fake.pipes.queue_client({}, FakeConnection::End::stall));
        idle.back()->caller = {"uid 1000", false};
    }
    auto root = fake.pipes.queue_client({frame_of(kVersionBody)});
    EXPECT_TRUE(run());
    EXPECT_EQ(answer_of(*root), kVersionAnswer);
    EXPECT_EQ(root->answered_as, 1);
    EXPECT_TRUE(idle.back()->disconnected) << "the connection over the cap is closed";
    EXPECT_EQ(fake.system.monotonic - start, kExchangeTimeLimit)
        << "the others are dropped at the time limit, all at once";
    for (const auto& connection : idle)
        EXPECT_EQ(answer_of(*connection), "");
}

// Clients that ask and never take their answer keep their places until the limit, all at
// once, and still count for their account, but hold nobody else up; nor does a caller the
// system cannot name take a place: it is refused.
TEST_F(PipeServerTest, AnswersNotTakenHoldOnlyTheirOwnPlaces) {
    const auto start = fake.system.monotonic;
    std::vector<std::shared_ptr<FakeConnection>> stalled;
    for (std::size_t i = 0; i <= kUnansweredPerAccount; ++i) {
        stalled.push_back(fake.pipes.queue_client({frame_of(kVersionBody)}, FakeConnection::End::stall));
        stalled.back()->caller = {"uid 1000", false};
        stalled.back()->takes_answer = false;
    }
    auto nameless = fake.pipes.queue_client({frame_of(kVersionBody)});
    nameless->caller = {"", true};
    auto root = fake.pipes.queue_client({frame_of(kVersionBody)});
    EXPECT_TRUE(run());
    EXPECT_EQ(answer_of(*root), kVersionAnswer);
    EXPECT_EQ(answer_of(*nameless), "");
    EXPECT_EQ(answer_of(*stalled.back()), "") << "over the cap while the others wait";
    for (std::size_t i = 0; i < kUnansweredPerAccount; ++i) {
        EXPECT_EQ(answer_of(*stalled[i]), kVersionAnswer);
        EXPECT_TRUE(stalled[i]->disconnected);
    }
    EXPECT_EQ(fake.system.monotonic - start, kExchangeTimeLimit) << "dropped at the limit";
}

TEST_F(PipeServerTest, OnlyACallerWhoMayChangeStateIsServedBeyondReading) {
    struct Case {
        std::string_view body;
        bool may_change_state;
        std::string expected_start;  // of the answer's body
    };
    const std::string not_allowed = error_answer("IPC_CALLER_NOT_ALLOWED");
    const std::string apply =
        R"({"command":"APPLY_CONFIG","payload":{"configVersion":1,"address":"10.250.10.21/32",)"
        R"("gatewayPublicKey":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=",)"
        R"("endpointHost":"gw.example.net","endpointPort":51820,"allowedIps":["10.250.0.0/16"],)"
        R"("persistentKeepalive":25}})";
    const std::vector<Case> cases = {
        {apply, false, not_allowed},
        {apply, true, R"({"type":"ACCEPTED")"},
        {R"({"command":"START"})", false, not_allowed},
        {R"({"command":"STOP"})", false, not_allowed},
        {R"({"command":"REPAIR"})", false, not_allowed},
        {R"({"command":"ENSURE_IDENTITY"})", false, not_allowed},
        {R"({"command":"PREPARE_IDENTITY_ROTATION"})", false, not_allowed},
        {R"({"command":"COMMIT_IDENTITY_ROTATION"})", false, not_allowed},
        {R"({"command":"ABORT_IDENTITY_ROTATION"})", false, not_allowed},
        {R"({"command":"GET_VERSION"})", false, std::string(kVersionAnswer)},
        {R"({"command":"GET_STATUS"})", false, R"({"type":"STATUS",)"},
        // Without identity storage the answer is an ERROR, but not the caller's.
        {R"({"command":"GET_PUBLIC_IDENTITY"})", false,
         R"({"type":"ERROR","payload":{"code":"IDENT)"},
        {R"({"command":"START"})", true, R"({"type":"ACCEPTED")"},
        {R"({"command":"NOPE"})", false, error_answer("IPC_REQUEST_INVALID")},
    };
    std::vector<std::shared_ptr<FakeConnection>> connections;
    for (const auto& c : cases) {
        connections.push_back(fake.pipes.queue_client({frame_of(c.body)}));
        connections.back()->caller = {std::to_string(connections.size()), c.may_change_state};
    }
    stop_once_all_answered(connections);
    EXPECT_TRUE(run());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].body);
        const std::string answer = answer_of(*connections[i]);
        EXPECT_EQ(answer.substr(0, cases[i].expected_start.size()), cases[i].expected_start)
            << answer;
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

// An idle server waits without a time limit: the wake-up connection is what ends the wait.
TEST_F(PipeServerTest, StopDuringAnIdleWaitEndsTheServerAtTheWakeUp) {
    fake.pipes.on_idle = nullptr;  // real waits
    std::thread server([&] { run(); });
    while (!fake.platform.pipes.pipe_exists(kPipe))
        std::this_thread::yield();
    stop->store(true);
    wake_pipe_server(fake.platform, kPipe);
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
    Outcome<void> apply_config(const TunnelConfig&) override { return {}; }
    Outcome<void> start() override { return {}; }
    Outcome<void> stop() override { return {}; }
    Outcome<void> repair() override { return {}; }
    std::shared_ptr<std::atomic<bool>> stop_;
};

TEST_F(PipeServerTest, StopWhileServingCompletesTheExchangeThenEnds) {
    auto client = fake.pipes.queue_client({frame_of(R"({"command":"GET_STATUS"})")});
    auto after = fake.pipes.queue_client({frame_of(kVersionBody)});
    fake.pipes.on_idle = nullptr;
    run_pipe_server(fake.runtime,
                    RequestContext{nullptr, std::make_unique<StoppingController>(stop)}, stop,
                    kPipe);
    EXPECT_EQ(answer_of(*client).substr(0, 17), R"({"type":"STATUS",)");
    EXPECT_EQ(answer_of(*after), "") << "nobody is served after the stop";
}

// The state changes in the order they ran; it outlives the controller, which the server
// releases when it returns.
struct Changes {
    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    std::vector<std::string> calls;
    std::shared_ptr<std::atomic<bool>> stop_on_start;

    void release() {
        std::lock_guard lock(mutex);
        open = true;
        released.notify_all();
    }
};

// The first START waits until released, as a tunnel that takes its time to start would.
struct HeldController final : TunnelController {
    explicit HeldController(std::shared_ptr<Changes> changes) : changes_(std::move(changes)) {}
    ConnectionStatus status() override { return {}; }
    Outcome<void> apply_config(const TunnelConfig&) override { return record("apply"); }
    Outcome<void> start() override {
        std::unique_lock lock(changes_->mutex);
        if (changes_->calls.empty() &&
            !changes_->released.wait_for(lock, std::chrono::seconds(10),
                                         [&] { return changes_->open; })) {
            changes_->calls.push_back("held too long");
        }
        changes_->calls.push_back("start");
        if (changes_->stop_on_start)
            changes_->stop_on_start->store(true);
        return {};
    }
    Outcome<void> stop() override { return record("stop"); }
    Outcome<void> repair() override { return record("repair"); }
    Outcome<void> record(const char* call) {
        std::lock_guard lock(changes_->mutex);
        changes_->calls.push_back(call);
        return {};
    }
    std::shared_ptr<Changes> changes_;
};

TEST_F(PipeServerTest, ReadsAreAnsweredWhileAChangeRunsAndChangesKeepTheirOrder) {
    auto changes = std::make_shared<Changes>();
    const std::vector<std::string_view> bodies = {
        R"({"command":"START"})", R"({"command":"STOP"})", R"({"command":"GET_STATUS"})",
        R"({"command":"REPAIR"})", R"({"command":"GET_VERSION"})"};
    std::vector<std::shared_ptr<FakeConnection>> clients;
    for (const auto body : bodies)
        clients.push_back(fake.pipes.queue_client({frame_of(body)}));
    // The START is released only once both reads behind it are answered.
    fake.pipes.on_idle = [&] {
        if (clients[2]->disconnected && clients[4]->disconnected)
            changes->release();
        if (std::ranges::all_of(clients, [](const auto& c) { return c->disconnected; }))
            stop->store(true);
    };
    EXPECT_TRUE(run_pipe_server(fake.runtime,
                                RequestContext{nullptr, std::make_unique<HeldController>(changes)},
                                stop, kPipe));
    EXPECT_EQ(changes->calls, (std::vector<std::string>{"start", "stop", "repair"}));
    EXPECT_EQ(clients[2]->answered_as, 1);
    EXPECT_EQ(clients[4]->answered_as, 2);
    for (std::size_t i : {0, 1, 3}) {
        SCOPED_TRACE(bodies[i]);
        EXPECT_EQ(answer_of(*clients[i]).substr(0, 18), R"({"type":"ACCEPTED")");
    }
    // The wake-ups of the server (connections that send nothing) are answered in between.
    EXPECT_GT(clients[0]->answered_as, 2);
    EXPECT_LT(clients[0]->answered_as, clients[1]->answered_as);
    EXPECT_LT(clients[1]->answered_as, clients[3]->answered_as);
    EXPECT_EQ(fake.pipes.open_endpoints(), 0);
}

TEST_F(PipeServerTest, AStopLetsTheRunningChangeFinishAndDropsTheQueuedOnes) {
    auto changes = std::make_shared<Changes>();
    changes->open = true;
    changes->stop_on_start = stop;  // the stop comes while the START runs
    auto start = fake.pipes.queue_client({frame_of(R"({"command":"START"})")});
    auto queued = fake.pipes.queue_client({frame_of(R"({"command":"STOP"})")});
    fake.pipes.on_idle = nullptr;
    EXPECT_TRUE(run_pipe_server(fake.runtime,
                                RequestContext{nullptr, std::make_unique<HeldController>(changes)},
                                stop, kPipe));
    EXPECT_EQ(changes->calls, std::vector<std::string>{"start"});
    EXPECT_EQ(answer_of(*start).substr(0, 18), R"({"type":"ACCEPTED")");
    EXPECT_EQ(answer_of(*queued), "") << "a change not begun at the stop is not run";
    EXPECT_TRUE(queued->disconnected);
    EXPECT_EQ(fake.pipes.open_endpoints(), 0);
}

// Out of memory inside a change: its caller hears why, and the next change is served.
struct ThrowingController final : TunnelController {
    ConnectionStatus status() override { return {}; }
    Outcome<void> apply_config(const TunnelConfig&) override { return {}; }
    Outcome<void> start() override { throw std::bad_alloc(); }
    Outcome<void> stop() override { return {}; }
    Outcome<void> repair() override { return {}; }
};

TEST_F(PipeServerTest, AChangeThatThrowsIsAnsweredAndTheWorkerGoesOn) {
    auto start = fake.pipes.queue_client({frame_of(R"({"command":"START"})")});
    auto after = fake.pipes.queue_client({frame_of(R"({"command":"STOP"})")});
    stop_once_all_answered({start, after});
    EXPECT_TRUE(run_pipe_server(fake.runtime,
                                RequestContext{nullptr, std::make_unique<ThrowingController>()},
                                stop, kPipe));
    EXPECT_EQ(answer_of(*start), error_answer("SERVICE_INTERNAL_ERROR"));
    EXPECT_EQ(answer_of(*after).substr(0, 18), R"({"type":"ACCEPTED")");
}

TEST(IpcSelfTest, ExchangesWithAPrivateServerThatIsGoneAfterwards) {
    fake::FakePlatform fake;
    fake.pipes.on_idle = nullptr;
    fake.pipes.open_waits_for_server = true;
    const IpcSelfTestResult result = run_ipc_self_test(fake.runtime, kPipe);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.failure, std::nullopt);
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
                        RequestContext{nullptr, std::make_unique<UnlinkedTunnelController>()}, stop,
                        kPipe);
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
        EXPECT_EQ(result.failure, c.expected);
        if (c.expected == DetailCode::IPC_SELF_TEST_PIPE_UNAVAILABLE) {
            EXPECT_GE(fake.system.monotonic - before, kSelfTestPatience);
            EXPECT_LT(fake.system.monotonic - before,
                      kSelfTestPatience + std::chrono::milliseconds(50));
        }
    }
}

// The self-test reads its answer with the service's own strict reader.
TEST(IpcSelfTest, AcceptsOnlyAStrictlyWellFormedVersionAnswer) {
    struct Case {
        const char* name;
        std::string answer;
        bool success;
    };
    const std::vector<Case> cases = {
        {"the version", std::string(kVersionAnswer), true},
        {"type twice", R"({"type":"VERSION","type":"VERSION"})", false},
        {"a nested member twice", R"({"type":"VERSION","payload":{"a":1,"a":1}})", false},
        {"a raw zero byte after it", std::string(kVersionAnswer) + std::string(1, '\0'), false},
        {"a byte-order mark", "\xEF\xBB\xBF" + std::string(kVersionAnswer), false},
        {"type inside the payload only", R"({"payload":{"type":"VERSION"}})", false},
        {"an error", error_answer("IPC_REQUEST_INVALID"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform fake;
        const auto server = fake.pipes.create_server(kPipe);
        ASSERT_TRUE(server);
        std::thread answering([&] {
            const auto connection = fake.pipes.accept(**server, std::chrono::seconds(5));
            if (!connection)
                return;
            // The request is taken first: a client whose server has already gone finds its
            // write refused, which is not what this test is about.
            const auto deadline = fake.system.monotonic_now() + std::chrono::hours(1);
            std::array<std::uint8_t, kFrameHeaderBytes> header{};
            std::vector<std::uint8_t> request(kVersionBody.size());
            read_exact(fake.platform, *connection, header, deadline);
            read_exact(fake.platform, *connection, request, deadline);
            connection->write(frame_of(c.answer), std::chrono::seconds(1));
        });
        const IpcSelfTestResult result = run_ipc_self_test(fake.runtime, kPipe);
        answering.join();
        EXPECT_EQ(result.success, c.success);
        const auto expected =
            c.success ? std::nullopt : std::optional(DetailCode::IPC_SELF_TEST_RESPONSE_INVALID);
        EXPECT_EQ(result.failure, expected);
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
