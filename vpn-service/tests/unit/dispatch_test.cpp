#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/dispatcher.hpp"
#include "dispatch/live_tunnel_controller.hpp"
#include "dispatch/unlinked_tunnel_controller.hpp"
#include "fake/fake_components.hpp"
#include "fake/fake_platform.hpp"
#include "fake/hooked_file_system.hpp"
#include "platform/paths.hpp"
#include "unit/sample_config.hpp"

namespace velnaro {
namespace {

std::string wire_text(const ServiceResponse& response) {
    const auto body = encode_response(response);
    EXPECT_TRUE(body.has_value());
    return body ? std::string(body->begin(), body->end()) : std::string();
}

constexpr const char* kUnavailableStatus =
    R"({"type":"STATUS","payload":{"state":"UNAVAILABLE","serviceName":"VelnaroVpnService",)"
    R"("tunnelName":"VelnaroTunnel","serviceVersion":"0.1.0",)"
    R"("detailCode":"WIREGUARD_EMBEDDABLE_NOT_LINKED","lastHandshakeUnixSeconds":null,)"
    R"("rxBytes":0,"txBytes":0}})";

struct Row {
    ServiceRequest request;
    std::string expected;
};

std::vector<Row> unlinked_rows_without_storage() {
    const std::string not_linked =
        R"({"type":"ERROR","payload":{"code":"WIREGUARD_EMBEDDABLE_NOT_LINKED"}})";
    const std::string no_storage =
        R"({"type":"ERROR","payload":{"code":"IDENTITY_STORAGE_UNAVAILABLE"}})";
    TunnelConfig invalid = accepted_tunnel_config();
    invalid.persistent_keepalive = 301;
    return {
        {GetVersion{}, R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})"},
        {GetStatus{}, kUnavailableStatus},
        {EnsureIdentity{}, no_storage},
        {GetPublicIdentity{}, no_storage},
        {ApplyConfig{accepted_tunnel_config()}, not_linked},
        {ApplyConfig{invalid}, R"({"type":"ERROR","payload":{"code":"KEEPALIVE_INVALID"}})"},
        {Start{}, not_linked},
        {Stop{}, R"({"type":"ACCEPTED"})"},
        {Repair{}, not_linked},
        {PrepareIdentityRotation{}, no_storage},
        {CommitIdentityRotation{}, no_storage},
        {AbortIdentityRotation{}, no_storage},
    };
}

TEST(Dispatcher, UnlinkedControllerWithoutIdentityStorage) {
    fake::FakePlatform fake;
    RequestContext context;
    context.controller = std::make_unique<UnlinkedTunnelController>();
    for (const Row& row : unlinked_rows_without_storage()) {
        EXPECT_EQ(wire_text(handle_request(fake.runtime, context, row.request)), row.expected)
            << command_name(row.request);
    }
    // Nothing below the dispatcher was reached without storage.
    EXPECT_TRUE(fake.files.all_files().empty());
}

TEST(Dispatcher, ContextWithoutControllerAnswersLikeTheUnlinkedOne) {
    fake::FakePlatform fake;
    const RequestContext context;
    for (const Row& row : unlinked_rows_without_storage()) {
        EXPECT_EQ(wire_text(handle_request(fake.runtime, context, row.request)), row.expected)
            << command_name(row.request);
    }
}

// One line per state-changing request and per refusal, none for the polled reads, and
// nothing of a request's payload.
TEST(Dispatcher, LogsChangesAndRefusalsButNotPolledReads) {
    fake::FakePlatform fake;
    RequestContext context;
    context.controller = std::make_unique<UnlinkedTunnelController>();
    for (const Row& row : unlinked_rows_without_storage())
        handle_request(fake.runtime, context, row.request);
    std::vector<std::string> messages;
    for (const auto& line : fake.log.lines) {
        messages.push_back(line.message);
        EXPECT_EQ(line.message.find("gw.example.net"), std::string::npos) << line.message;
    }
    const std::vector<std::string> expected = {
        "ENSURE_IDENTITY refused: IDENTITY_STORAGE_UNAVAILABLE",
        "GET_PUBLIC_IDENTITY refused: IDENTITY_STORAGE_UNAVAILABLE",
        "APPLY_CONFIG refused: WIREGUARD_EMBEDDABLE_NOT_LINKED",
        "APPLY_CONFIG refused: KEEPALIVE_INVALID",
        "START refused: WIREGUARD_EMBEDDABLE_NOT_LINKED",
        "STOP done",
        "REPAIR refused: WIREGUARD_EMBEDDABLE_NOT_LINKED",
        "PREPARE_IDENTITY_ROTATION refused: IDENTITY_STORAGE_UNAVAILABLE",
        "COMMIT_IDENTITY_ROTATION refused: IDENTITY_STORAGE_UNAVAILABLE",
        "ABORT_IDENTITY_ROTATION refused: IDENTITY_STORAGE_UNAVAILABLE",
    };
    EXPECT_EQ(messages, expected);
    EXPECT_EQ(fake.log.lines.front().code, DetailCode::IDENTITY_STORAGE_UNAVAILABLE);
    EXPECT_EQ(fake.log.lines.front().priority, platform::LogPriority::warning);
}

// Records what it is asked and answers what the test says.
class ScriptedController final : public TunnelController {
  public:
    ConnectionStatus status() override { return status_; }
    Outcome<void> apply_config(const TunnelConfig& config) override {
        applied.push_back(config);
        return answer;
    }
    Outcome<void> start() override { return answer; }
    Outcome<void> stop() override { return answer; }
    Outcome<void> repair() override { return answer; }

    ConnectionStatus status_{ConnectionState::ERROR, DetailCode::TUNNEL_SERVICE_STATUS_FAILED,
                             std::nullopt, 0, 0};
    Outcome<void> answer;
    std::vector<TunnelConfig> applied;
};

TEST(Dispatcher, TunnelCommandsPassControllerOutcomesUnchanged) {
    fake::FakePlatform fake;
    RequestContext context;
    auto owned = std::make_unique<ScriptedController>();
    ScriptedController& controller = *owned;
    context.controller = std::move(owned);

    // The dispatcher does not validate: a configuration goes to the controller as sent.
    TunnelConfig unvalidated = accepted_tunnel_config();
    unvalidated.config_version = 0;
    const std::vector<ServiceRequest> commands = {ApplyConfig{unvalidated}, Start{}, Stop{},
                                                  Repair{}};
    for (const ServiceRequest& request : commands) {
        controller.answer = {};
        EXPECT_EQ(handle_request(fake.runtime, context, request),
                  ServiceResponse{AcceptedResponse{}})
            << command_name(request);
        controller.answer = fail(DetailCode::TUNNEL_SERVICE_STOP_TIMEOUT);
        EXPECT_EQ(handle_request(fake.runtime, context, request),
                  ServiceResponse{ErrorResponse{{DetailCode::TUNNEL_SERVICE_STOP_TIMEOUT}}})
            << command_name(request);
    }
    ASSERT_EQ(controller.applied.size(), 2u);
    EXPECT_EQ(controller.applied[0], unvalidated);

    // A status problem is a STATUS answer, never an ERROR.
    EXPECT_EQ(handle_request(fake.runtime, context, GetStatus{}),
              ServiceResponse{StatusResponse{controller.status_}});
}

// A data directory with the components installed, so identities can be created.
class DispatcherWithStorage : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::install_fake_components(fake);
        ASSERT_TRUE(fake.files.create_directories(directory));
        context.identity_storage = std::make_shared<IdentityKeeper>(directory);
        context.controller = std::make_unique<UnlinkedTunnelController>();
    }

    ServiceResponse send(ServiceRequest request) {
        return handle_request(fake.runtime, context, std::move(request));
    }

    PublicIdentity identity_of(const ServiceResponse& response) {
        const auto* identity = std::get_if<PublicIdentityResponse>(&response);
        EXPECT_NE(identity, nullptr) << wire_text(response);
        return identity ? identity->payload : PublicIdentity{};
    }

    fake::FakePlatform fake;
    std::string directory = join_path(fake::fake_root(), "data");
    RequestContext context;
};

TEST_F(DispatcherWithStorage, PublicIdentityIsCreatedOnceAndThenStable) {
    const PublicIdentity first = identity_of(send(GetPublicIdentity{}));
    EXPECT_EQ(first.key_version, 1u);
    EXPECT_EQ(identity_of(send(GetPublicIdentity{})), first);
    EXPECT_EQ(identity_of(send(EnsureIdentity{})), first);
}

TEST_F(DispatcherWithStorage, RotationCommandsReachTheIdentity) {
    // Without an identity there is nothing to rotate: the identity's own code comes back.
    EXPECT_EQ(wire_text(send(CommitIdentityRotation{})),
              R"({"type":"ERROR","payload":{"code":"IDENTITY_READ_FAILED"}})");

    const PublicIdentity current = identity_of(send(EnsureIdentity{}));
    EXPECT_EQ(wire_text(send(CommitIdentityRotation{})),
              R"({"type":"ERROR","payload":{"code":"IDENTITY_ROTATION_NOT_PREPARED"}})");
    EXPECT_EQ(wire_text(send(AbortIdentityRotation{})), R"({"type":"ACCEPTED"})");

    const PublicIdentity prepared = identity_of(send(PrepareIdentityRotation{}));
    EXPECT_EQ(prepared.installation_id, current.installation_id);
    EXPECT_EQ(prepared.key_version, current.key_version + 1);
    EXPECT_NE(prepared.public_key, current.public_key);

    EXPECT_EQ(wire_text(send(CommitIdentityRotation{})), R"({"type":"ACCEPTED"})");
    EXPECT_EQ(identity_of(send(GetPublicIdentity{})), prepared);
}

// A read any account may send is logged once per change of its answer; a refused change
// is logged each time.
TEST_F(DispatcherWithStorage, RepeatedReadRefusalsAreLoggedOncePerChange) {
    const std::string metadata = join_path(directory, "metadata.json");
    fake.files.put_file(metadata, std::vector<std::uint8_t>{'{', '}'});  // LOCAL_IDENTITY_LOST
    const auto refusals = [&] {
        return std::ranges::count_if(fake.log.lines, [](const auto& line) {
            return line.message.ends_with("refused: LOCAL_IDENTITY_LOST");
        });
    };
    for (int i = 0; i < 5; ++i)
        send(GetPublicIdentity{});
    EXPECT_EQ(refusals(), 1);
    send(EnsureIdentity{});
    send(EnsureIdentity{});
    EXPECT_EQ(refusals(), 3) << "ENSURE_IDENTITY changes state: logged every time";

    ASSERT_TRUE(fake.files.delete_file(metadata));
    identity_of(send(GetPublicIdentity{}));
    ASSERT_TRUE(fake.files.delete_file(join_path(directory, "identity.dat")));
    send(GetPublicIdentity{});
    send(GetPublicIdentity{});
    EXPECT_EQ(refusals(), 4) << "the failure came back after a success";
}

// A refused change leaves one line, which names the detail code and the system's error of
// the call that failed deep below (the platform itself writes none).
TEST(DispatcherLog, ARefusalIsLoggedOnceWithTheSystemErrorBehindIt) {
    fake::FakePlatform fake;
    fake::install_fake_components(fake);
    const std::string directory = join_path(fake::fake_root(), "data");
    ASSERT_TRUE(fake.files.create_directories(directory));
    auto keeper = std::make_shared<IdentityKeeper>(directory);
    RequestContext context{keeper, std::make_unique<LiveTunnelController>(fake.runtime, keeper)};
    ASSERT_EQ(wire_text(handle_request(fake.runtime, context, ApplyConfig{accepted_tunnel_config()})),
              R"({"type":"ACCEPTED"})");
    ASSERT_EQ(wire_text(handle_request(fake.runtime, context, Stop{})), R"({"type":"ACCEPTED"})");

    const struct {
        const char* fault;
        ServiceRequest request;
        DetailCode code;
    } cases[] = {
        {"start_service", Start{}, DetailCode::TUNNEL_SERVICE_START_FAILED},
        {"create_new_file", ApplyConfig{accepted_tunnel_config()},
         DetailCode::TUNNEL_CONFIG_WRITE_FAILED},
    };
    for (const auto& c : cases) {
        fake.log.lines.clear();
        fake.faults.fail_nth(c.fault);
        EXPECT_EQ(handle_request(fake.runtime, context, c.request),
                  ServiceResponse{ErrorResponse{{c.code}}})
            << c.fault;
        // Besides the notice of why the ranges are held, when that changed.
        std::erase_if(fake.log.lines, [](const auto& line) { return !line.code; });
        ASSERT_EQ(fake.log.lines.size(), 1u) << c.fault;
        EXPECT_EQ(fake.log.lines[0].code, c.code) << c.fault;
        EXPECT_NE(fake.log.lines[0].os_error, 0) << c.fault;
    }
}

// APPLY_CONFIG runs on the change worker while GET_PUBLIC_IDENTITY is answered on the server
// thread. The apply is paused as it writes identity.dat; the read then comes. Without one
// lock over both, the read creates an identity of its own and one of the two fails.
TEST(DispatcherRace, ApplyAndPublicIdentityMeetOnAnEmptyDataDirectory) {
    fake::HookedPlatform hooked;
    const std::string directory = join_path(fake::fake_root(), "data");
    auto keeper = std::make_shared<IdentityKeeper>(directory);
    RequestContext context{keeper, std::make_unique<LiveTunnelController>(hooked.runtime, keeper)};

    std::promise<void> apply_paused;
    std::atomic<bool> paused_once = false;
    hooked.files.before = [&](std::string_view operation, std::string_view path) {
        // identity.dat is written as a temporary sibling, then moved into place.
        if (operation != "create_new_file" || !file_name(path).starts_with("identity.tmp-") ||
            paused_once.exchange(true)) {
            return;
        }
        apply_paused.set_value();
        // Time for the read to reach the files, which the lock makes it wait for instead.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
    ServiceResponse answered;
    std::thread reader([&] {
        apply_paused.get_future().wait();
        answered = handle_request(hooked.runtime, context, GetPublicIdentity{});
    });
    const ServiceResponse applied =
        handle_request(hooked.runtime, context, ApplyConfig{accepted_tunnel_config()});
    reader.join();

    EXPECT_EQ(wire_text(applied), R"({"type":"ACCEPTED"})");
    const auto* identity = std::get_if<PublicIdentityResponse>(&answered);
    ASSERT_NE(identity, nullptr) << wire_text(answered);
    const auto stored = keeper->ensure(hooked.runtime);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(identity->payload, public_identity_of(*stored)) << "one identity, seen by both";
}

// A rotation holds the identity while it writes and flushes; the server thread must answer
// GET_PUBLIC_IDENTITY meanwhile, with the identity in force, instead of waiting for the disk.
TEST(DispatcherRace, PublicIdentityIsAnsweredWhileARotationFlushes) {
    const struct {
        const char* name;
        ServiceRequest change;
        bool prepared_first;
        bool changes_identity;
    } cases[] = {
        {"prepare", PrepareIdentityRotation{}, false, false},
        {"commit", CommitIdentityRotation{}, true, true},
    };
    for (const auto& c : cases) {
        fake::HookedPlatform hooked;
        const std::string directory = join_path(fake::fake_root(), "data");
        ASSERT_TRUE(hooked.fake.files.create_directories(directory));
        RequestContext context{std::make_shared<IdentityKeeper>(directory), nullptr};
        const auto send = [&](ServiceRequest request) {
            return handle_request(hooked.runtime, context, std::move(request));
        };
        const auto before = std::get<PublicIdentityResponse>(send(GetPublicIdentity{})).payload;
        std::optional<PublicIdentity> prepared;
        if (c.prepared_first)
            prepared = std::get<PublicIdentityResponse>(send(PrepareIdentityRotation{})).payload;

        std::promise<void> flushing;
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<bool> held_once = false;
        hooked.files.before = [&](std::string_view operation, std::string_view) {
            if (operation != "flush_file" || held_once.exchange(true))
                return;
            flushing.set_value();
            released.wait();
        };
        std::thread change([&] { send(c.change); });
        flushing.get_future().wait();
        auto read = std::async(std::launch::async, [&] { return send(GetPublicIdentity{}); });
        const bool answered = read.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        release.set_value();
        change.join();
        ASSERT_TRUE(answered) << c.name << ": the read waited for the flush";
        EXPECT_EQ(wire_text(read.get()), wire_text(PublicIdentityResponse{before})) << c.name;
        EXPECT_EQ(std::get<PublicIdentityResponse>(send(GetPublicIdentity{})).payload,
                  c.changes_identity ? *prepared : before)
            << c.name;
    }
}

}  // namespace
}  // namespace velnaro
