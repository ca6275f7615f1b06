#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/file_time.hpp"
#include "dispatch/status_decision.hpp"
#include "fake/fake_components.hpp"
#include "fake/fake_platform.hpp"
#include "service_manager/tunnel_service_manager.hpp"
#include "wireguard/keys.hpp"

namespace velnaro {
namespace {

constexpr std::uint64_t kSecond = 10000000ULL;
constexpr std::uint64_t kHandshake = 1700000000ULL;

std::uint64_t clock_at(std::uint64_t unix_seconds, std::uint64_t extra_100ns = 0) {
    return kUnixEpochAsFileTime + unix_seconds * kSecond + extra_100ns;
}

AdapterTelemetry reading(bool up, std::optional<std::uint64_t> handshake) {
    return {handshake, 4096, 2048, up};
}

struct Row {
    std::string name;
    Outcome<ConnectionState> service;
    Outcome<AdapterTelemetry> telemetry;
    std::uint64_t now;
    ConnectionStatus expected;
};

ConnectionStatus status(ConnectionState state, std::optional<DetailCode> code,
                        std::optional<std::uint64_t> handshake = std::nullopt, std::uint64_t rx = 0,
                        std::uint64_t tx = 0) {
    return {state, code, handshake, rx, tx};
}

const Outcome<AdapterTelemetry> kFreshUp = reading(true, kHandshake);
const std::uint64_t kNow = clock_at(kHandshake + 10);

std::vector<Row> decision_table() {
    using S = ConnectionState;
    using D = DetailCode;
    return {
        {"manager unavailable", fail(D::SERVICE_MANAGER_UNAVAILABLE), kFreshUp, kNow,
         status(S::ERROR, D::SERVICE_MANAGER_UNAVAILABLE)},
        {"status query failed", fail(D::TUNNEL_SERVICE_STATUS_FAILED), kFreshUp, kNow,
         status(S::ERROR, D::TUNNEL_SERVICE_STATUS_FAILED)},
        // Readings are never passed on unless the service runs, however good they are.
        {"disconnected", S::DISCONNECTED, kFreshUp, kNow, status(S::DISCONNECTED, {})},
        {"start or continue pending", S::CONNECTING, kFreshUp, kNow, status(S::CONNECTING, {})},
        {"pause pending", S::DEGRADED, kFreshUp, kNow, status(S::DEGRADED, {})},
        {"adapter not created yet", S::CONNECTED, fail(D::WIREGUARD_ADAPTER_NOT_FOUND), kNow,
         status(S::CONNECTING, D::WIREGUARD_ADAPTER_NOT_READY)},
        {"component directory missing", S::CONNECTED, fail(D::COMPONENT_DIRECTORY_UNAVAILABLE),
         kNow, status(S::ERROR, D::COMPONENT_DIRECTORY_UNAVAILABLE)},
        {"peer count invalid", S::CONNECTED, fail(D::WIREGUARD_PEER_COUNT_INVALID), kNow,
         status(S::ERROR, D::WIREGUARD_PEER_COUNT_INVALID)},
        {"adapter down, earlier handshake", S::CONNECTED, reading(false, kHandshake - 5000), kNow,
         status(S::CONNECTING, D::WIREGUARD_ADAPTER_DOWN, kHandshake - 5000, 4096, 2048)},
        {"adapter down, no handshake", S::CONNECTED, reading(false, std::nullopt), kNow,
         status(S::CONNECTING, D::WIREGUARD_ADAPTER_DOWN, std::nullopt, 4096, 2048)},
        {"handshake pending", S::CONNECTED, reading(true, std::nullopt), kNow,
         status(S::CONNECTING, D::WIREGUARD_HANDSHAKE_PENDING, std::nullopt, 4096, 2048)},
        {"handshake just now", S::CONNECTED, kFreshUp, clock_at(kHandshake),
         status(S::CONNECTED, {}, kHandshake, 4096, 2048)},
        {"handshake 180 s ago", S::CONNECTED, kFreshUp, clock_at(kHandshake + 180),
         status(S::CONNECTED, {}, kHandshake, 4096, 2048)},
        // Seconds are rounded down: 180.9999999 s is still 180.
        {"handshake 180.9999999 s ago", S::CONNECTED, kFreshUp,
         clock_at(kHandshake + 180, kSecond - 1), status(S::CONNECTED, {}, kHandshake, 4096, 2048)},
        {"handshake 181 s ago", S::CONNECTED, kFreshUp, clock_at(kHandshake + 181),
         status(S::DEGRADED, D::WIREGUARD_HANDSHAKE_STALE, kHandshake, 4096, 2048)},
        {"handshake a day ago", S::CONNECTED, kFreshUp, clock_at(kHandshake + 86400),
         status(S::DEGRADED, D::WIREGUARD_HANDSHAKE_STALE, kHandshake, 4096, 2048)},
        {"handshake in the future", S::CONNECTED, kFreshUp, clock_at(kHandshake - 3600),
         status(S::CONNECTED, {}, kHandshake, 4096, 2048)},
        {"handshake at the end of time", S::CONNECTED,
         reading(true, std::numeric_limits<std::uint64_t>::max()), kNow,
         status(S::CONNECTED, {}, std::numeric_limits<std::uint64_t>::max(), 4096, 2048)},
        {"clock before 1970", S::CONNECTED, reading(true, 0), kUnixEpochAsFileTime - 1,
         status(S::CONNECTED, {}, 0, 4096, 2048)},
        {"clock at 1601", S::CONNECTED, kFreshUp, 0,
         status(S::CONNECTED, {}, kHandshake, 4096, 2048)},
        {"clock at the epoch, handshake 181 s before", S::CONNECTED, reading(true, 0),
         clock_at(181), status(S::DEGRADED, D::WIREGUARD_HANDSHAKE_STALE, 0, 4096, 2048)},
    };
}

TEST(ConnectionStatusDecision, FollowsTheDecisionTable) {
    for (const Row& row : decision_table()) {
        EXPECT_EQ(decide_connection_status(row.service, row.telemetry, row.now), row.expected)
            << row.name;
    }
}

// The same decisions, reached through the service manager, the loader and the adapter.
class LiveStatusTest : public ::testing::Test {
  protected:
    void set_tunnel_service(std::uint32_t state) {
        auto& service = fake.services.services[std::string(kTunnelServiceName)];
        service.registration.name = std::string(kTunnelServiceName);
        service.state = state;
    }

    fake::FakePlatform fake;
};

TEST_F(LiveStatusTest, ANotInstalledTunnelIsDisconnectedWithoutReadingTheAdapter) {
    fake::install_fake_components(fake);
    EXPECT_EQ(compute_connection_status(fake.runtime), status(ConnectionState::DISCONNECTED, {}));
    EXPECT_EQ(fake.loader.loads, 0);
    EXPECT_TRUE(fake::fake_component_calls().opened_adapters.empty());
}

TEST_F(LiveStatusTest, ServiceStatesOtherThanRunningAreReportedAsTheyStand) {
    namespace st = platform::service_state;
    fake::install_fake_components(fake);
    const std::pair<std::uint32_t, ConnectionState> states[] = {
        {st::kStopped, ConnectionState::DISCONNECTED},
        {st::kStartPending, ConnectionState::CONNECTING},
        {st::kStopPending, ConnectionState::DISCONNECTED},
        {st::kContinuePending, ConnectionState::CONNECTING},
        {st::kPausePending, ConnectionState::DEGRADED},
        {st::kPaused, ConnectionState::DISCONNECTED},
    };
    for (const auto& [service_state, expected] : states) {
        set_tunnel_service(service_state);
        EXPECT_EQ(compute_connection_status(fake.runtime), status(expected, {})) << service_state;
    }
    EXPECT_EQ(fake.loader.loads, 0);
}

TEST_F(LiveStatusTest, AnUnreachableServiceManagerIsAnError) {
    fake.faults.fail_always("open_manager");
    EXPECT_EQ(compute_connection_status(fake.runtime),
              status(ConnectionState::ERROR, DetailCode::SERVICE_MANAGER_UNAVAILABLE));
}

TEST_F(LiveStatusTest, RunningWithAFreshHandshakeIsConnectedWithItsCounters) {
    fake::FakeComponentOptions options;
    const std::uint64_t handshake_100ns = fake.system.wall_clock_100ns - 180 * kSecond;
    options.adapter.block =
        fake::make_configuration_block({{100, 200, handshake_100ns, 1}, {5, 7, 0, 0}});
    fake::install_fake_components(fake, options);
    set_tunnel_service(platform::service_state::kRunning);
    const std::uint64_t handshake = (handshake_100ns - kUnixEpochAsFileTime) / kSecond;
    EXPECT_EQ(compute_connection_status(fake.runtime),
              status(ConnectionState::CONNECTED, {}, handshake, 207, 105));
    EXPECT_EQ(fake::fake_component_calls().adapters_open(), 0);
}

// After the first load the adapter is read while the manager answers: still one reading per
// poll, and what the manager says decides whether the reading is used.
TEST_F(LiveStatusTest, OnceLoadedTheAdapterIsReadAlongsideTheQueryAndUsedOnlyWhileRunning) {
    fake::FakeComponentOptions options;
    options.adapter.block = fake::make_configuration_block({{100, 200, 0, 1}});
    fake::install_fake_components(fake, options);
    set_tunnel_service(platform::service_state::kRunning);
    const auto first = compute_connection_status(fake.runtime);
    const int loads = fake.loader.loads;
    EXPECT_EQ(compute_connection_status(fake.runtime), first);
    EXPECT_EQ(first.rx_bytes, 200u);
    EXPECT_EQ(fake::fake_component_calls().opened_adapters.size(), 2u);
    EXPECT_EQ(fake.loader.loads, loads);

    set_tunnel_service(platform::service_state::kStopped);
    EXPECT_EQ(compute_connection_status(fake.runtime), status(ConnectionState::DISCONNECTED, {}));
    fake.faults.fail_always("query_service_status");
    EXPECT_EQ(compute_connection_status(fake.runtime),
              status(ConnectionState::ERROR, DetailCode::TUNNEL_SERVICE_STATUS_FAILED));
    EXPECT_EQ(fake::fake_component_calls().adapters_open(), 0);
}

TEST_F(LiveStatusTest, RunningBeforeTheAdapterExistsIsConnecting) {
    fake::FakeComponentOptions options;
    options.adapter.exists = false;
    fake::install_fake_components(fake, options);
    set_tunnel_service(platform::service_state::kRunning);
    EXPECT_EQ(compute_connection_status(fake.runtime),
              status(ConnectionState::CONNECTING, DetailCode::WIREGUARD_ADAPTER_NOT_READY));
}

TEST_F(LiveStatusTest, RunningWithoutComponentsIsAnErrorWithTheirCode) {
    set_tunnel_service(platform::service_state::kRunning);
    const auto directory = resolve_component_directory(fake.platform);
    ASSERT_FALSE(directory.has_value());
    EXPECT_EQ(compute_connection_status(fake.runtime),
              status(ConnectionState::ERROR, directory.error().code));
}

}  // namespace
}  // namespace velnaro
