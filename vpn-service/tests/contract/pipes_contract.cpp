#include "contract/pipes_contract.hpp"

#include <algorithm>
#include <chrono>
#include <future>
#include <iterator>
#include <string_view>
#include <vector>

#include "dispatch/unlinked_tunnel_controller.hpp"
#include "ipc_client/client.hpp"
#include "ipc_client/frames.hpp"
#include "ipc/pipe_server.hpp"

namespace velnaro::contract {

using namespace std::chrono_literals;
using platform::PipeEvent;
using platform::PipeIoStatus;

ServerThread::ServerThread(Runtime& runtime, std::string name)
    : runtime_(runtime), name_(std::move(name)) {}

void ServerThread::start() {
    stop_ = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread([this, stop = stop_] {
        run_pipe_server(runtime_,
                        RequestContext{nullptr, std::make_unique<UnlinkedTunnelController>()}, stop,
                        name_);
    });
    for (int i = 0; i < 500 && !runtime_.platform.pipes.pipe_exists(name_); ++i)
        std::this_thread::sleep_for(2ms);
}

void ServerThread::stop() {
    if (!thread_.joinable())
        return;
    stop_->store(true);
    wake_pipe_server(runtime_.platform, name_);
    thread_.join();
}

namespace {

constexpr std::string_view kVersionRequest = R"({"command":"GET_VERSION"})";
constexpr std::string_view kVersionAnswer =
    R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})";

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Waits (up to two seconds) until the server has reported `wanted`; keeps what came with it.
struct Watcher {
    platform::PipeServer& server;
    std::vector<std::unique_ptr<platform::PipeConnection>> accepted;
    std::string received;

    bool wait_for(PipeEvent::Kind wanted) {
        const auto end = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < end) {
            auto events = server.wait_for_events(100ms);
            if (!events)
                return false;
            bool seen = false;
            for (auto& event : *events) {
                seen = seen || event.kind == wanted;
                if (event.accepted)
                    accepted.push_back(std::move(event.accepted));
                received.append(event.bytes.begin(), event.bytes.end());
            }
            if (seen)
                return true;
        }
        return false;
    }
};

// A server of a fresh name with one client connected, the server's side accepted.
struct OneConnection {
    explicit OneConnection(PipesWorld& world) : name(world.fresh_name()) {
        auto created = world.pipes().create_server(name);
        if (!created)
            return;
        server = std::move(*created);
        auto opened = world.pipes().open_client(name, 1s, platform::ClientIdentity::identify);
        if (!opened)
            return;
        client = std::move(*opened);
        watcher = std::make_unique<Watcher>(Watcher{*server, {}, {}});
        if (watcher->wait_for(PipeEvent::Kind::connected) && watcher->accepted.size() == 1)
            served = watcher->accepted.front().get();
    }

    std::string name;
    std::unique_ptr<platform::PipeServer> server;
    std::unique_ptr<platform::PipeConnection> client;
    std::unique_ptr<Watcher> watcher;
    platform::PipeConnection* served = nullptr;
};

std::string ask(PipesWorld& world, const std::string& name, std::string_view body) {
    auto answer = send_request(world.platform(), body, name, 2s);
    return answer ? std::string(answer->begin(), answer->end())
                  : "<" + std::string(to_text(answer.error())) + ">";
}

TEST_P(PipesContract, OneServerHoldsTheNameUntilItEnds) {
    const std::string name = world_->fresh_name();
    EXPECT_FALSE(world_->pipes().pipe_exists(name));
    auto server = world_->pipes().create_server(name);
    ASSERT_TRUE(server);
    EXPECT_TRUE(world_->pipes().pipe_exists(name));
    const auto second = world_->pipes().create_server(name);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().reason, platform::PipeServerError::name_in_use);
    server->reset();
    EXPECT_FALSE(world_->pipes().pipe_exists(name));
    EXPECT_TRUE(world_->pipes().create_server(name)) << "the name is free again";
}

TEST_P(PipesContract, NobodyServingANameIsUnavailableWithTheName) {
    const std::string name = world_->fresh_name();
    const auto client = world_->pipes().open_client(name, 0ms, platform::ClientIdentity::identify);
    ASSERT_FALSE(client);
    EXPECT_EQ(client.error().reason, platform::PipeOpenError::unavailable);
    EXPECT_EQ(client.error().os.subject, name);
}

TEST_P(PipesContract, BytesGoBothWaysAndEachEndIsReported) {
    OneConnection pipe(*world_);
    ASSERT_NE(pipe.served, nullptr);
    EXPECT_EQ(pipe.served->verify_server(), platform::ServerCheck::unverifiable)
        << "a server's own connection is never vouched for";

    ASSERT_EQ(pipe.client->write(bytes_of("ping"), 1s).status, PipeIoStatus::done);
    while (pipe.watcher->received.size() < 4 && pipe.watcher->wait_for(PipeEvent::Kind::received)) {
    }
    EXPECT_EQ(pipe.watcher->received, "ping");
    ASSERT_EQ(pipe.served->write(bytes_of("pong"), 1s).status, PipeIoStatus::done);
    pipe.served->flush(1s);
    std::string answer(4, '\0');
    const auto deadline = world_->platform().system.monotonic_now() + 2s;
    EXPECT_EQ(read_exact(world_->platform(), *pipe.client,
                         {reinterpret_cast<std::uint8_t*>(answer.data()), answer.size()}, deadline),
              TransferEnd::complete);
    EXPECT_EQ(answer, "pong");

    pipe.client.reset();
    EXPECT_TRUE(pipe.watcher->wait_for(PipeEvent::Kind::closed)) << "the client's end is reported";
}

// An idle server waits without a time limit: a new client, then its bytes, end each wait.
TEST_P(PipesContract, AWaitWithoutATimeLimitEndsWithTheNextEvent) {
    const std::string name = world_->fresh_name();
    auto server = world_->pipes().create_server(name);
    ASSERT_TRUE(server);
    // One thread waits, as a server's own thread does (Windows cancels the reads a thread
    // started when that thread ends).
    std::promise<void> first_wait;
    auto first_wait_over = first_wait.get_future();
    auto waits = std::async(std::launch::async, [&] {
        std::vector<PipeEvent> seen;
        for (int i = 0; i < 2; ++i) {
            if (auto events = (*server)->wait_for_events(platform::kNoTimeLimit))
                std::ranges::move(*events, std::back_inserter(seen));
            if (i == 0)
                first_wait.set_value();
        }
        return seen;
    });
    auto client = world_->pipes().open_client(name, 1s, platform::ClientIdentity::identify);
    const bool first_ended = first_wait_over.wait_for(10s) == std::future_status::ready;
    if (client && first_ended)
        (*client)->write(bytes_of("ping"), 1s);
    const bool second_ended = waits.wait_for(10s) == std::future_status::ready;
    // A wait that missed what it waited for is released, so a fault fails instead of hanging.
    while (waits.wait_for(100ms) != std::future_status::ready)
        (void)world_->pipes().open_client(name, 1s, platform::ClientIdentity::anonymous);
    const auto seen = waits.get();
    EXPECT_TRUE(client && first_ended && second_ended);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().kind, PipeEvent::Kind::connected);
    EXPECT_TRUE(std::ranges::any_of(
        seen, [](const PipeEvent& event) { return event.kind == PipeEvent::Kind::received; }));
}

TEST_P(PipesContract, AServerThatEndsEndsItsConnections) {
    OneConnection pipe(*world_);
    ASSERT_NE(pipe.served, nullptr);
    pipe.server.reset();
    EXPECT_NE(pipe.served->write(bytes_of("late"), 1s).status, PipeIoStatus::done);
    std::uint8_t byte = 0;
    EXPECT_EQ(pipe.client->read({&byte, 1}, 1s).status, PipeIoStatus::closed);
}

TEST_P(PipesContract, TheServiceAnswersClientAfterClientAndKeepsItsName) {
    const std::string name = world_->fresh_name();
    ServerThread server(world_->runtime(), name);
    server.start();
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ask(*world_, name, kVersionRequest), kVersionAnswer);
    }
    EXPECT_EQ(ask(*world_, name, R"({"command":"NOPE"})"),
              R"({"type":"ERROR","payload":{"code":"IPC_REQUEST_INVALID"}})");
    const auto other = world_->pipes().create_server(name);
    EXPECT_FALSE(other) << "a live server keeps its name";
    EXPECT_EQ(ask(*world_, name, kVersionRequest), kVersionAnswer);
}

TEST_P(PipesContract, AStalledClientHoldsTheNextOneNoLongerThanTheLimit) {
    const std::string name = world_->fresh_name();
    ServerThread server(world_->runtime(), name);
    server.start();
    auto stalled = world_->pipes().open_client(name, 1s, platform::ClientIdentity::identify);
    ASSERT_TRUE(stalled);
    const std::uint8_t half_header[] = {0x19, 0x00};
    ASSERT_EQ((*stalled)->write(half_header, 1s).status, PipeIoStatus::done);
    const auto start = std::chrono::steady_clock::now();
    auto answer = send_request(world_->platform(), kVersionRequest, name, kExchangeTimeLimit + 3s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(std::string(answer->begin(), answer->end()), kVersionAnswer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kExchangeTimeLimit + 2s);
    if (!world_->clock_runs())
        return;
    std::uint8_t byte = 0;
    EXPECT_EQ((*stalled)->read({&byte, 1}, kExchangeTimeLimit + 2s).status, PipeIoStatus::closed)
        << "the stalled client is dropped without an answer";
}

TEST_P(PipesContract, StartsAndStopsPromptlyOverAndOver) {
    const std::string name = world_->fresh_name();
    auto cycles = std::async(std::launch::async, [&] {
        for (int i = 0; i < world_->cycles(); ++i) {
            ServerThread server(world_->runtime(), name);
            server.start();
            const auto start = std::chrono::steady_clock::now();
            server.stop();
            if (std::chrono::steady_clock::now() - start > 2s)
                return false;
        }
        return true;
    });
    ASSERT_EQ(cycles.wait_for(120s), std::future_status::ready) << "a start/stop cycle hung";
    EXPECT_TRUE(cycles.get()) << "a stop took longer than two seconds";
}

}  // namespace
}  // namespace velnaro::contract
