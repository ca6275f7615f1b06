#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "dispatch/live_tunnel_controller.hpp"
#include "fake/fake_components.hpp"
#include "fake/fake_platform.hpp"
#include "platform/paths.hpp"
#include "self_test/tunnel_config_self_test.hpp"
#include "service_manager/tunnel_service_manager.hpp"
#include "tunnel_config/config_file.hpp"

namespace velnaro {
namespace {

namespace st = platform::service_state;

class LiveControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::install_fake_components(fake);
        ASSERT_TRUE(fake.files.create_directories(directory));
    }

    // A tunnel service that runs from an earlier configuration.
    void run_previous_tunnel() {
        ASSERT_TRUE(store_tunnel_config(fake.runtime, directory, config).has_value());
        ASSERT_TRUE(configure_tunnel_service(fake.platform, config_path).has_value());
        ASSERT_TRUE(start_tunnel_service(fake.platform).has_value());
        ASSERT_EQ(tunnel().state, st::kRunning);
        before_stops = tunnel().stops;
        before_starts = tunnel().starts;
    }

    fake::FakeService& tunnel() {
        return fake.services.services.at(std::string(kTunnelServiceName));
    }
    bool tunnel_installed() const {
        return fake.services.services.count(std::string(kTunnelServiceName)) > 0;
    }

    fake::FakePlatform fake;
    std::string directory = join_path(fake::fake_root(), "data");
    std::string config_path = join_path(directory, "VelnaroTunnel.conf.dpapi");
    TunnelConfig config = sample_tunnel_config();
    LiveTunnelController controller{fake.runtime, std::make_shared<IdentityKeeper>(directory)};
    int before_stops = 0;
    int before_starts = 0;
};

TEST_F(LiveControllerTest, ApplyOnAnEmptyDataDirectoryCreatesTheIdentityAndStartsTheTunnel) {
    ASSERT_TRUE(controller.apply_config(config).has_value());
    EXPECT_EQ(fake.files.path_kind(join_path(directory, "identity.dat")),
              platform::PathKind::regular_file);
    EXPECT_EQ(fake.files.path_kind(config_path), platform::PathKind::regular_file);
    ASSERT_TRUE(tunnel_installed());
    EXPECT_NE(tunnel().registration.command_line.find(config_path), std::string::npos);
    EXPECT_EQ(tunnel().state, st::kRunning);
    EXPECT_EQ(fake.services.open_handles(), 0);
}

TEST_F(LiveControllerTest, AnInvalidConfigurationTouchesNothing) {
    run_previous_tunnel();
    const auto stored = fake.files.file_text(config_path);
    const auto calls = fake.faults.calls().size();
    TunnelConfig invalid = config;
    invalid.address = "10.0.0.1";
    const auto applied = controller.apply_config(invalid);
    ASSERT_FALSE(applied.has_value());
    EXPECT_EQ(applied.error(), DetailCode::ADDRESS_INVALID);
    EXPECT_EQ(fake.faults.calls().size(), calls);
    EXPECT_EQ(tunnel().state, st::kRunning);
    EXPECT_EQ(fake.files.file_text(config_path), stored);
}

TEST_F(LiveControllerTest, ApplyReplacesTheConfigurationAndRestartsTheTunnel) {
    run_previous_tunnel();
    config.endpoint_host = "second.example.net";
    ASSERT_TRUE(controller.apply_config(config).has_value());
    EXPECT_EQ(tunnel().stops, before_stops + 1);
    EXPECT_EQ(tunnel().starts, before_starts + 1);
    EXPECT_EQ(tunnel().state, st::kRunning);
    const auto text = read_tunnel_config_text(fake.platform, config_path);
    ASSERT_TRUE(text.has_value());
    EXPECT_NE(as_text(*text).find("second.example.net"), std::string_view::npos);
}

TEST_F(LiveControllerTest, AFailedStoreLeavesTheTunnelStoppedWithThePreviousFile) {
    run_previous_tunnel();
    const auto stored = fake.files.file_text(config_path);
    fake.faults.fail_always("move_file");
    config.endpoint_host = "second.example.net";
    const auto applied = controller.apply_config(config);
    ASSERT_FALSE(applied.has_value());
    EXPECT_EQ(applied.error(), DetailCode::TUNNEL_CONFIG_REPLACE_FAILED);
    EXPECT_EQ(tunnel().state, st::kStopped);
    EXPECT_EQ(tunnel().starts, before_starts);
    EXPECT_EQ(fake.files.file_text(config_path), stored);
}

TEST_F(LiveControllerTest, AFailedStopIsReturnedBeforeAnythingIsWritten) {
    run_previous_tunnel();
    fake.faults.fail_always("stop_service");
    const int creates = fake.faults.count("create_new_file");
    const auto applied = controller.apply_config(config);
    ASSERT_FALSE(applied.has_value());
    EXPECT_EQ(applied.error(), stop_tunnel_service(fake.platform).error());
    EXPECT_EQ(fake.faults.count("create_new_file"), creates);
}

TEST_F(LiveControllerTest, RepairWithoutAStoredFileLeavesTheTunnelAlone) {
    run_previous_tunnel();
    ASSERT_TRUE(fake.files.delete_file(config_path));
    const auto repaired = controller.repair();
    ASSERT_FALSE(repaired.has_value());
    EXPECT_EQ(repaired.error(), DetailCode::TUNNEL_CONFIG_MISSING);
    EXPECT_EQ(tunnel().state, st::kRunning);
    EXPECT_EQ(tunnel().stops, before_stops);
}

TEST_F(LiveControllerTest, RepairRefusesADirectoryInPlaceOfTheFile) {
    ASSERT_TRUE(fake.files.create_directories(config_path));
    const auto repaired = controller.repair();
    ASSERT_FALSE(repaired.has_value());
    EXPECT_EQ(repaired.error(), DetailCode::TUNNEL_CONFIG_MISSING);
    EXPECT_FALSE(tunnel_installed());
}

TEST_F(LiveControllerTest, RepairReRegistersAndRestartsWithoutRewritingTheFile) {
    run_previous_tunnel();
    const auto stored = fake.files.file_text(config_path);
    fake.services.services.erase(std::string(kTunnelServiceName));
    const int writes = fake.faults.count("create_new_file");
    const int reads = fake.faults.count("read_file");
    fake.ranges.held.reset();  // as after a restart of the machine without the boot step
    ASSERT_TRUE(controller.repair().has_value());
    ASSERT_TRUE(tunnel_installed());
    EXPECT_EQ(tunnel().state, st::kRunning);
    EXPECT_NE(tunnel().registration.command_line.find(config_path), std::string::npos);
    EXPECT_EQ(fake.files.file_text(config_path), stored);
    EXPECT_EQ(fake.faults.count("create_new_file"), writes);
    EXPECT_GE(fake.faults.count("read_file"), reads);  // read for its ranges only
}

TEST_F(LiveControllerTest, StartStopAndStatusActOnTheTunnelService) {
    EXPECT_TRUE(controller.stop().has_value());  // nothing installed: nothing to stop
    EXPECT_EQ(controller.status().state, ConnectionState::DISCONNECTED);
    run_previous_tunnel();
    ASSERT_TRUE(controller.stop().has_value());
    EXPECT_EQ(tunnel().state, st::kStopped);
    EXPECT_EQ(controller.status().state, ConnectionState::DISCONNECTED);
    ASSERT_TRUE(controller.start().has_value());
    EXPECT_EQ(tunnel().state, st::kRunning);
}

// A tunnel that failed on its own shows as ERROR with its code until STOP acknowledges it;
// START (like APPLY_CONFIG and REPAIR) runs it again and reports afresh.
TEST_F(LiveControllerTest, AFailedTunnelIsAnErrorUntilStopAndAgainAfterStart) {
    run_previous_tunnel();
    const auto fail_tunnel = [&] {
        tunnel().state = st::kStopped;
        tunnel().win32_exit_code = platform::kErrorServiceSpecificError;
        tunnel().service_specific_exit_code = stable_number(DetailCode::TUNNEL_INTERFACE_IN_USE);
    };
    fail_tunnel();
    auto status = controller.status();
    EXPECT_EQ(status.state, ConnectionState::ERROR);
    EXPECT_EQ(status.detail_code, DetailCode::TUNNEL_INTERFACE_IN_USE);

    ASSERT_TRUE(controller.stop().has_value());
    status = controller.status();
    EXPECT_EQ(status.state, ConnectionState::DISCONNECTED);
    EXPECT_EQ(status.detail_code, std::nullopt);

    ASSERT_TRUE(controller.start().has_value());
    fail_tunnel();
    EXPECT_EQ(controller.status().detail_code, DetailCode::TUNNEL_INTERFACE_IN_USE);
}

// The ranges stay held through every restart of the tunnel; only STOP, also of a tunnel that
// already failed, lets them go, and a STOP that cannot is a failed stop, logged.
TEST_F(LiveControllerTest, OnlyStopReleasesTheHeldRanges) {
    run_previous_tunnel();
    fake.ranges.blocked = {"10.250.0.0/16"};
    ASSERT_TRUE(controller.apply_config(config) && controller.repair() && controller.start());
    EXPECT_EQ(fake.ranges.blocked.size(), 1u);
    tunnel().state = st::kStopped;  // failed on its own
    fake.faults.fail_nth("release_tunnel_routes");
    const auto refused = controller.stop();
    ASSERT_FALSE(refused);
    // The stop's failure, with the system's error for the line the dispatcher writes.
    EXPECT_EQ(refused.error(), DetailCode::TUNNEL_SERVICE_STOP_FAILED);
    EXPECT_TRUE(refused.error().cause.has_value());
    EXPECT_EQ(fake.ranges.blocked.size(), 1u);
    ASSERT_TRUE(controller.stop());
    EXPECT_TRUE(fake.ranges.blocked.empty());
}

// APPLY_CONFIG, START and REPAIR hold the ranges before the tunnel starts: held once
// answered, and a hold that fails fails the request before the unit is started.
TEST_F(LiveControllerTest, EveryStartHoldsTheRangesFirstAndAFailedHoldStartsNothing) {
    config.allowed_ips = {"10.250.0.0/16", "10.99.0.0/24", "10.250.0.0/16"};
    const struct {
        const char* name;
        std::function<Outcome<void>()> request;
    } cases[] = {
        {"APPLY_CONFIG", [&] { return controller.apply_config(config); }},
        {"START", [&] { return controller.start(); }},
        {"REPAIR", [&] { return controller.repair(); }},
    };
    for (const auto& c : cases) {
        run_previous_tunnel();
        ASSERT_TRUE(controller.stop());
        const int starts = tunnel().starts;
        fake.faults.fail_nth("hold_ranges");
        const auto refused = c.request();
        ASSERT_FALSE(refused) << c.name;
        EXPECT_EQ(refused.error(), DetailCode::TUNNEL_RANGES_HOLD_FAILED) << c.name;
        EXPECT_TRUE(refused.error().cause.has_value()) << c.name;
        EXPECT_EQ(tunnel().starts, starts) << c.name;
        EXPECT_FALSE(fake.ranges.held) << c.name;

        ASSERT_TRUE(c.request()) << c.name;
        ASSERT_TRUE(fake.ranges.held) << c.name;
        EXPECT_EQ(fake.ranges.held->ranges,
                  (std::vector<std::string>{"10.250.0.0/16", "10.99.0.0/24"}))
            << c.name;
        EXPECT_EQ(fake.ranges.held->interface_name, "VelnaroTunnel") << c.name;
        EXPECT_EQ(fake.ranges.held->address, config.address) << c.name;
        EXPECT_EQ(tunnel().state, st::kRunning) << c.name;
    }
}

}  // namespace
}  // namespace velnaro
