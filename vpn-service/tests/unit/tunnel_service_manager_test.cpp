#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fake/fake_platform.hpp"
#include "platform/paths.hpp"
#include "service_manager/tunnel_service_manager.hpp"

namespace velnaro {
namespace {

namespace st = platform::service_state;
using platform::ScHandle;

const std::string kName(kTunnelServiceName);

// Forwards to the fake manager, with hooks to script what a status or SID query sees.
class ScriptedServices final : public platform::ServiceControl {
  public:
    explicit ScriptedServices(fake::FakeServices& inner) : inner_(inner) {}

    // Handles come from the fake and close through it.
    platform::OsResult<platform::OwnedScHandle> open_manager(std::uint32_t a) override {
        return inner_.open_manager(a);
    }
    std::expected<platform::OwnedScHandle, platform::OpenServiceError> open_service(
        ScHandle m, std::string_view n, std::uint32_t a) override {
        return inner_.open_service(m, n, a);
    }
    platform::OsResult<platform::OwnedScHandle> create_service(
        ScHandle m, const platform::ServiceRegistration& r, std::uint32_t a) override {
        return inner_.create_service(m, r, a);
    }
    platform::OsResult<void> change_service_config(
        ScHandle s, const platform::ServiceRegistration& r) override {
        return inner_.change_service_config(s, r);
    }
    platform::OsResult<void> set_service_description(ScHandle s, std::string_view d) override {
        return inner_.set_service_description(s, d);
    }
    platform::OsResult<void> set_service_sid_type(ScHandle s, std::uint32_t t) override {
        return inner_.set_service_sid_type(s, t);
    }
    platform::OsResult<std::uint32_t> query_service_sid_type(ScHandle s) override {
        auto real = inner_.query_service_sid_type(s);
        if (real && sid_type_seen)
            return *sid_type_seen;
        return real;
    }
    platform::OsResult<void> set_required_privileges(ScHandle s,
                                                     const std::vector<std::string>& p) override {
        return inner_.set_required_privileges(s, p);
    }
    platform::OsResult<void> set_recovery(ScHandle s, const platform::ServiceRecovery& r) override {
        return inner_.set_recovery(s, r);
    }
    platform::OsResult<std::uint32_t> query_service_state(ScHandle s) override {
        if (before_query)
            before_query();
        return inner_.query_service_state(s);
    }
    platform::OsResult<platform::ServiceStatus> query_service_status(ScHandle s) override {
        if (before_query)
            before_query();
        return inner_.query_service_status(s);
    }
    platform::OsResult<void> start_service(ScHandle s) override { return inner_.start_service(s); }
    platform::OsResult<void> stop_service(ScHandle s) override { return inner_.stop_service(s); }
    bool await_requested_change(ScHandle, std::chrono::milliseconds limit) override {
        return await && await(limit);
    }
    platform::OsResult<void> delete_service(ScHandle s) override {
        return inner_.delete_service(s);
    }
    void close_service_handle(ScHandle h) override { inner_.close_service_handle(h); }

    std::optional<std::uint32_t> sid_type_seen;
    std::function<void()> before_query;
    // A manager that says when a stop is done (systemd): what its wait does, given its limit.
    std::function<bool(std::chrono::milliseconds)> await;

  private:
    fake::FakeServices& inner_;
};

class TunnelServiceManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake.system.executable = executable;
        fake.files.put_file(executable, "MZ");
    }

    void install(std::uint32_t state) {
        fake::FakeService service;
        service.registration.name = kName;
        service.registration.command_line = "old";
        service.state = state;
        fake.services.services[kName] = service;
    }
    bool installed() const { return fake.services.services.count(kName) > 0; }
    fake::FakeService& tunnel() { return fake.services.services.at(kName); }

    // Every handle is closed, and each service handle just before its manager handle.
    void expect_handles_closed_in_order() {
        EXPECT_EQ(fake.services.open_handles(), 0);
        const auto& closed = fake.services.closed;
        for (std::size_t i = 0; i < closed.size(); ++i) {
            if (closed[i] == kName) {
                ASSERT_LT(i + 1, closed.size());
                EXPECT_EQ(closed[i + 1], "manager");
            }
        }
    }

    fake::FakePlatform fake;
    ScriptedServices scripted{fake.services};
    platform::Platform platform{fake.files, fake.system, fake.sealing, fake.loader, scripted};
    std::string executable = join_path(join_path(fake::fake_root(), "Velnaro"), "vpn-service.exe");
    std::string config_path =
        join_path(join_path(fake::fake_root(), "data"), "VelnaroTunnel.conf.dpapi");
};

TEST_F(TunnelServiceManagerTest, ConfigureCreatesTheFullRegistrationWithoutStarting) {
    ASSERT_TRUE(configure_tunnel_service(platform, config_path).has_value());

    ASSERT_TRUE(installed());
    const auto& r = tunnel().registration;
    EXPECT_EQ(r.display_name, "Velnaro Secure Tunnel");
    EXPECT_EQ(r.service_type, 0x10u);
    EXPECT_EQ(r.start_type, 2u);
    EXPECT_EQ(r.error_control, 1u);
    EXPECT_EQ(r.command_line, executable + " --tunnel-service " + config_path);
    EXPECT_EQ(r.dependencies, (std::vector<std::string>{"Nsi", "TcpIp"}));
    EXPECT_EQ(tunnel().description,
              "Tunnel WireGuard prive gere automatiquement par VelnaroVpnService.");
    EXPECT_EQ(tunnel().sid_type, 1u);
    EXPECT_EQ(tunnel().starts, 0);
    EXPECT_EQ(fake.services.access_log,
              (std::vector<std::string>{"manager:3", "create:" + kName + ":55"}));
    expect_handles_closed_in_order();
}

TEST_F(TunnelServiceManagerTest, ConfigureRewritesAnExistingRegistration) {
    install(st::kStopped);
    ASSERT_TRUE(configure_tunnel_service(platform, config_path).has_value());

    EXPECT_EQ(tunnel().registration.command_line, executable + " --tunnel-service " + config_path);
    EXPECT_EQ(tunnel().registration.display_name, "Velnaro Secure Tunnel");
    EXPECT_EQ(tunnel().starts, 0);
    EXPECT_EQ(fake.services.access_log, (std::vector<std::string>{"manager:3", kName + ":55"}));
    expect_handles_closed_in_order();
}

TEST_F(TunnelServiceManagerTest, ExecutableUnderADirectoryWithABlankIsQuoted) {
    executable = join_path(join_path(fake::fake_root(), "Program Files"), "vpn-service.exe");
    fake.system.executable = executable;
    fake.files.put_file(executable, "MZ");
    ASSERT_TRUE(configure_tunnel_service(platform, config_path).has_value());
    EXPECT_EQ(tunnel().registration.command_line,
              "\"" + executable + "\" --tunnel-service " + config_path);
}

TEST_F(TunnelServiceManagerTest, ConfigurationPathMustBeAbsoluteAndExactlyNamed) {
    const std::string data = join_path(fake::fake_root(), "data");
    for (const std::string& path :
         {std::string("VelnaroTunnel.conf.dpapi"), join_path(data, "VelnaroTunnel.conf"),
          join_path(data, "velnarotunnel.conf.dpapi"),
          join_path(data, "VelnaroTunnel.conf.dpapi.bak"), join_path(data, ""), std::string()}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(configure_tunnel_service(platform, path).error(),
                  DetailCode::TUNNEL_CONFIG_PATH_INVALID);
    }
    EXPECT_EQ(fake.faults.count("open_manager"), 0);
}

TEST_F(TunnelServiceManagerTest, ConfigureReportsTheStepThatFailed) {
    struct Case {
        const char* operation;
        bool existing;
        DetailCode expected;
    };
    const Case cases[] = {
        {"open_manager", false, DetailCode::SERVICE_MANAGER_UNAVAILABLE},
        {"executable_path", false, DetailCode::EXECUTABLE_PATH_UNAVAILABLE},
        {"change_service_config", true, DetailCode::TUNNEL_SERVICE_UPDATE_FAILED},
        {"create_service", false, DetailCode::TUNNEL_SERVICE_CREATE_FAILED},
        {"set_service_description", false, DetailCode::TUNNEL_SERVICE_DESCRIPTION_FAILED},
        {"set_service_description", true, DetailCode::TUNNEL_SERVICE_DESCRIPTION_FAILED},
        {"set_service_sid_type", false, DetailCode::TUNNEL_SERVICE_SID_FAILED},
        {"query_service_sid_type", true, DetailCode::TUNNEL_SERVICE_SID_QUERY_FAILED},
        {"set_required_privileges", false, DetailCode::TUNNEL_SERVICE_HARDENING_FAILED},
        {"set_recovery", true, DetailCode::TUNNEL_SERVICE_HARDENING_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        fake.services.services.clear();
        fake.services.closed.clear();
        fake.faults.clear();
        if (c.existing)
            install(st::kStopped);
        fake.faults.fail_nth(c.operation);
        EXPECT_EQ(configure_tunnel_service(platform, config_path).error(), c.expected);
        expect_handles_closed_in_order();
    }
}

TEST_F(TunnelServiceManagerTest, ExecutableMustBeAnAbsoluteExistingFile) {
    const std::string folder = join_path(fake::fake_root(), "folder");
    fake.files.create_directories(folder);
    for (const std::string& path :
         {std::string("vpn-service.exe"), join_path(fake::fake_root(), "missing.exe"), folder}) {
        SCOPED_TRACE(path);
        fake.system.executable = path;
        EXPECT_EQ(configure_tunnel_service(platform, config_path).error(),
                  DetailCode::EXECUTABLE_PATH_INVALID);
    }
    EXPECT_FALSE(installed());
    expect_handles_closed_in_order();
}

TEST_F(TunnelServiceManagerTest, SidTypeReadBackMustBeUnrestricted) {
    scripted.sid_type_seen = 0;
    EXPECT_EQ(configure_tunnel_service(platform, config_path).error(),
              DetailCode::TUNNEL_SERVICE_SID_INVALID);
    EXPECT_TRUE(installed());  // nothing is rolled back
    expect_handles_closed_in_order();
}

TEST_F(TunnelServiceManagerTest, StartActsOnlyOnAStoppedService) {
    struct Case {
        std::uint32_t state;
        bool ok;
        int starts;
    };
    const Case cases[] = {
        {st::kStopped, true, 1},          {st::kStartPending, true, 0},
        {st::kRunning, true, 0},          {st::kStopPending, false, 0},
        {st::kContinuePending, false, 0}, {st::kPausePending, false, 0},
        {st::kPaused, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        install(c.state);
        auto started = start_tunnel_service(platform);
        EXPECT_EQ(started.has_value(), c.ok);
        if (!c.ok) {
            EXPECT_EQ(started.error(), DetailCode::TUNNEL_SERVICE_BUSY);
        }
        EXPECT_EQ(tunnel().starts, c.starts);
        expect_handles_closed_in_order();
    }
    EXPECT_EQ(fake.services.access_log.at(0), "manager:1");
    EXPECT_EQ(fake.services.access_log.at(1), kName + ":20");
}

TEST_F(TunnelServiceManagerTest, StartReportsTheStepThatFailed) {
    EXPECT_EQ(start_tunnel_service(platform).error(), DetailCode::TUNNEL_SERVICE_NOT_INSTALLED);
    install(st::kStopped);
    const std::pair<const char*, DetailCode> cases[] = {
        {"open_manager", DetailCode::SERVICE_MANAGER_UNAVAILABLE},
        {"open_service", DetailCode::TUNNEL_SERVICE_NOT_INSTALLED},
        {"query_service_state", DetailCode::TUNNEL_SERVICE_STATUS_FAILED},
        {"start_service", DetailCode::TUNNEL_SERVICE_START_FAILED},
    };
    for (const auto& [operation, expected] : cases) {
        SCOPED_TRACE(operation);
        fake.faults.fail_nth(operation);
        EXPECT_EQ(start_tunnel_service(platform).error(), expected);
        expect_handles_closed_in_order();
    }
}

TEST_F(TunnelServiceManagerTest, StopOfAnAbsentOrStoppedServiceSendsNothing) {
    EXPECT_TRUE(stop_tunnel_service(platform).has_value());
    install(st::kStopped);
    EXPECT_TRUE(stop_tunnel_service(platform).has_value());
    EXPECT_EQ(fake.faults.count("stop_service"), 0);
    EXPECT_EQ(fake.services.access_log.back(), kName + ":36");
    expect_handles_closed_in_order();
}

TEST_F(TunnelServiceManagerTest, StopQueriesAtOnceAfterTheControlAndWaits) {
    install(st::kRunning);
    fake.services.on_stop = [](fake::FakeService& s) { s.state = st::kStopPending; };
    int queries = 0;
    scripted.before_query = [&] {
        if (++queries == 4)
            tunnel().state = st::kStopped;
    };
    ASSERT_TRUE(stop_tunnel_service(platform).has_value());
    EXPECT_EQ(tunnel().stops, 1);
    EXPECT_EQ(fake.system.sleeps, 2);  // queries 2 and 3 saw STOP_PENDING
    expect_handles_closed_in_order();
}

// Where the manager says when the stop is done, the stop waits for that instead of sleeping,
// and a wait that ends at its limit (the budget left) ends the stop as a poll would.
TEST_F(TunnelServiceManagerTest, StopWaitsForTheManagerWhereItTells) {
    install(st::kRunning);
    fake.services.on_stop = [](fake::FakeService& s) { s.state = st::kStopPending; };
    scripted.await = [&](std::chrono::milliseconds) {
        fake.system.monotonic += std::chrono::milliseconds(30);
        tunnel().state = st::kStopped;
        return true;
    };
    ASSERT_TRUE(stop_tunnel_service(platform).has_value());
    EXPECT_EQ(fake.system.sleeps, 0);

    tunnel().state = st::kRunning;
    std::chrono::milliseconds asked{};
    scripted.await = [&](std::chrono::milliseconds limit) {
        asked = limit;
        fake.system.monotonic += limit;
        return true;
    };
    EXPECT_EQ(stop_tunnel_service(platform).error(), DetailCode::TUNNEL_SERVICE_STOP_TIMEOUT);
    EXPECT_EQ(asked, std::chrono::seconds(15));
    EXPECT_EQ(fake.system.sleeps, 0);
    expect_handles_closed_in_order();
}

TEST_F(TunnelServiceManagerTest, StopOfAStoppingServiceOnlyWaits) {
    install(st::kStopPending);
    int queries = 0;
    scripted.before_query = [&] {
        if (++queries == 3)
            tunnel().state = st::kStopped;
    };
    ASSERT_TRUE(stop_tunnel_service(platform).has_value());
    EXPECT_EQ(fake.faults.count("stop_service"), 0);
}

TEST_F(TunnelServiceManagerTest, StopGivesUpAfterFifteenSecondsOfPolling) {
    install(st::kRunning);
    fake.services.on_stop = [](fake::FakeService& s) { s.state = st::kStopPending; };
    const auto begin = fake.system.monotonic;
    EXPECT_EQ(stop_tunnel_service(platform).error(), DetailCode::TUNNEL_SERVICE_STOP_TIMEOUT);

    const int polls = fake.faults.count("query_service_state") - 1;
    EXPECT_GE(polls, 149);
    EXPECT_LE(polls, 151);
    EXPECT_EQ(fake.system.monotonic - begin, std::chrono::seconds(15));
    EXPECT_EQ(tunnel().state, st::kStopPending);  // the request stays pending
    expect_handles_closed_in_order();
}

// A user who disconnects while the tunnel still connects: the starting service refuses the
// stop until its start is done, all within the one 15-second budget.
TEST_F(TunnelServiceManagerTest, StopOfAStartingServiceIsRetriedUntilItIsTaken) {
    struct Case {
        const char* name;
        int refusals;
        bool stopped_meanwhile;
        std::optional<DetailCode> expected;
        int stops;
    };
    const Case cases[] = {
        {"accepts after its start", 5, false, std::nullopt, 1},
        {"stopped on its own meanwhile", 1000, true, std::nullopt, 0},
        {"still starting at the deadline", 1000, false, DetailCode::TUNNEL_SERVICE_STOP_TIMEOUT, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        install(st::kStartPending);
        tunnel().refusals_while_starting = c.refusals;
        scripted.before_query = [&] {
            if (c.stopped_meanwhile && tunnel().refused_stops == 3)
                tunnel().state = st::kStopped;
        };
        const auto begin = fake.system.monotonic;
        const auto stopped = stop_tunnel_service(platform);
        EXPECT_EQ(stopped ? std::nullopt : std::optional(stopped.error()), c.expected);
        EXPECT_EQ(tunnel().stops, c.stops);
        EXPECT_LE(fake.system.monotonic - begin, std::chrono::seconds(15));
        expect_handles_closed_in_order();
    }
}

TEST_F(TunnelServiceManagerTest, StopReportsTheStepThatFailed) {
    struct Case {
        const char* operation;
        int nth;
        DetailCode expected;
    };
    const Case cases[] = {
        {"open_manager", 1, DetailCode::SERVICE_MANAGER_UNAVAILABLE},
        {"query_service_state", 1, DetailCode::TUNNEL_SERVICE_STATUS_FAILED},
        {"stop_service", 1, DetailCode::TUNNEL_SERVICE_STOP_FAILED},
        {"query_service_state", 2, DetailCode::TUNNEL_SERVICE_STATUS_FAILED},  // while waiting
    };
    fake.services.on_stop = [](fake::FakeService& s) { s.state = st::kStopPending; };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.operation) + " #" + std::to_string(c.nth));
        install(st::kRunning);
        fake.faults.clear();
        fake.faults.fail_nth(c.operation, c.nth);
        EXPECT_EQ(stop_tunnel_service(platform).error(), c.expected);
        expect_handles_closed_in_order();
    }
}

TEST_F(TunnelServiceManagerTest, QueryMapsEveryServiceState) {
    const std::pair<std::uint32_t, ConnectionState> cases[] = {
        {st::kStopped, ConnectionState::DISCONNECTED},
        {st::kStartPending, ConnectionState::CONNECTING},
        {st::kStopPending, ConnectionState::DISCONNECTED},
        {st::kRunning, ConnectionState::CONNECTED},
        {st::kContinuePending, ConnectionState::CONNECTING},
        {st::kPausePending, ConnectionState::DEGRADED},
        {st::kPaused, ConnectionState::DISCONNECTED},
    };
    EXPECT_EQ(query_tunnel_service(platform).value(), ConnectionState::DISCONNECTED);  // absent
    for (const auto& [state, expected] : cases) {
        SCOPED_TRACE(state);
        install(state);
        EXPECT_EQ(query_tunnel_service(platform).value(), expected);
    }
    EXPECT_EQ(fake.services.access_log.back(), kName + ":4");
    expect_handles_closed_in_order();
}

TEST_F(TunnelServiceManagerTest, QueryReportsTheStepThatFailed) {
    install(st::kRunning);
    fake.faults.fail_nth("open_manager");
    EXPECT_EQ(query_tunnel_service(platform).error(), DetailCode::SERVICE_MANAGER_UNAVAILABLE);
    fake.faults.fail_nth("query_service_status");
    EXPECT_EQ(query_tunnel_service(platform).error(), DetailCode::TUNNEL_SERVICE_STATUS_FAILED);
    expect_handles_closed_in_order();
}

// A tunnel service that ended by itself with a failure is that failure, read from its
// service-specific exit code (the stable number of a detail code), until it is dismissed.
TEST_F(TunnelServiceManagerTest, QueryReportsHowAFailedTunnelServiceEnded) {
    struct Case {
        std::uint32_t state, win32, specific;
        Outcome<ConnectionState> expected;
    };
    const unsigned unresolved = stable_number(DetailCode::TUNNEL_ENDPOINT_UNRESOLVED);
    const Case cases[] = {
        {st::kStopped, platform::kErrorServiceSpecificError, unresolved,
         fail(DetailCode::TUNNEL_ENDPOINT_UNRESOLVED)},
        {st::kStopped, platform::kErrorServiceSpecificError, 7,  // not one of ours
         fail(DetailCode::TUNNEL_SERVICE_FAILED)},
        {st::kStopped, platform::kErrorProcessAborted, 0, fail(DetailCode::TUNNEL_SERVICE_FAILED)},
        {st::kStopped, 0, 0, ConnectionState::DISCONNECTED},  // a clean end
        {st::kStopped, platform::kErrorServiceNeverStarted, 0, ConnectionState::DISCONNECTED},
        // Still stopping or running: the state speaks, whatever an earlier run left.
        {st::kStopPending, platform::kErrorServiceSpecificError, unresolved,
         ConnectionState::DISCONNECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.specific);
        install(c.state);
        tunnel().win32_exit_code = c.win32;
        tunnel().service_specific_exit_code = c.specific;
        EXPECT_EQ(query_tunnel_service(platform), c.expected);
        EXPECT_EQ(query_tunnel_service(platform, TunnelFailure::dismissed).value(),
                  ConnectionState::DISCONNECTED);
    }
}

TEST_F(TunnelServiceManagerTest, RemoveStopsThenDeletes) {
    EXPECT_TRUE(remove_tunnel_service(platform).has_value());  // absent
    install(st::kRunning);
    ASSERT_TRUE(remove_tunnel_service(platform).has_value());
    EXPECT_FALSE(installed());
    EXPECT_EQ(fake.services.access_log.back(), kName + ":65536");
    expect_handles_closed_in_order();
}

TEST_F(TunnelServiceManagerTest, RemoveReportsTheStepThatFailed) {
    struct Case {
        const char* operation;
        int nth;
        DetailCode expected;
    };
    const Case cases[] = {
        {"stop_service", 1, DetailCode::TUNNEL_SERVICE_STOP_FAILED},
        {"open_manager", 2, DetailCode::SERVICE_MANAGER_UNAVAILABLE},
        {"delete_service", 1, DetailCode::TUNNEL_SERVICE_DELETE_FAILED},
        {"open_service", 2, DetailCode{}},  // vanished after its stop: success
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        install(st::kRunning);
        fake.faults.clear();
        fake.faults.fail_nth(c.operation, c.nth);
        auto removed = remove_tunnel_service(platform);
        if (c.expected == DetailCode{}) {
            EXPECT_TRUE(removed.has_value());
        } else {
            EXPECT_EQ(removed.error(), c.expected);
        }
        EXPECT_TRUE(installed());  // nothing was deleted
        expect_handles_closed_in_order();
    }
}

}  // namespace
}  // namespace velnaro
