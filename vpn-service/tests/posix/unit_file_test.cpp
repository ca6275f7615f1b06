#include "platform/posix/systemd/unit_file.hpp"

#include <gtest/gtest.h>

namespace velnaro::platform {
namespace {

namespace st = service_state;

TEST(UnitFile, ServiceNamesBecomeUnitNamesByOneRule) {
    EXPECT_EQ(unit_name_for("VelnaroVpnService"), "VelnaroVpnService.service");
    EXPECT_EQ(unit_name_for("WireGuardTunnel$VelnaroTunnel"),
              "WireGuardTunnel-VelnaroTunnel.service");
    for (const char* refused : {"", "a/b", "a b", "x\ny", "../etc"})
        EXPECT_EQ(unit_name_for(refused), std::nullopt) << refused;
}

TEST(UnitFile, UnitStatesMapOntoServiceStates) {
    struct Case {
        const char* active;
        const char* sub;
        std::optional<std::uint32_t> state;
    };
    const Case cases[] = {
        {"active", "running", st::kRunning},
        {"reloading", "reload", st::kRunning},
        {"activating", "start", st::kStartPending},
        {"activating", "auto-restart", st::kStartPending},
        {"deactivating", "stop-sigterm", st::kStopPending},
        {"inactive", "dead", st::kStopped},
        {"failed", "failed", st::kStopped},
        {"bogus", "dead", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(service_state_of_unit(c.active, c.sub), c.state) << c.active << "/" << c.sub;
}

TEST(UnitFile, OnlyAFailedUnitCarriesAnExitCode) {
    auto failed = service_status_of_unit(st::kStopped, "failed", "exit-code", 116);
    EXPECT_EQ(failed.win32_exit_code, kErrorServiceSpecificError);
    EXPECT_EQ(failed.service_specific_exit_code, 116u);
    EXPECT_EQ(service_status_of_unit(st::kStopped, "failed", "signal", 0).win32_exit_code,
              kErrorProcessAborted);
    EXPECT_EQ(service_status_of_unit(st::kStopped, "inactive", "success", 0).win32_exit_code, 0u);
}

ServiceRegistration registration(std::string command_line) {
    ServiceRegistration r;
    r.name = "WireGuardTunnel$VelnaroTunnel";
    r.display_name = "Velnaro Secure Tunnel";
    r.command_line = std::move(command_line);
    r.dependencies = {"Nsi", "TcpIp"};
    return r;
}

TEST(UnitFile, TheTunnelGetsOnlyTheNetworkCapabilityAndEscapedArguments) {
    auto text = render_unit_file(
        registration(
            "/opt/v/vpn-service --tunnel-service /var/lib/100%$x/VelnaroTunnel.conf.dpapi"),
        "Tunnel");
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("ExecStart=/opt/v/vpn-service --tunnel-service /var/lib/100%%$$x/"),
              std::string::npos);
    EXPECT_NE(text->find("CapabilityBoundingSet=CAP_NET_ADMIN\n"), std::string::npos);
    EXPECT_NE(text->find("WantedBy=multi-user.target"), std::string::npos);
    auto service = render_unit_file(registration("\"/opt/a b/vpn-service\" --service"), "");
    ASSERT_TRUE(service);
    EXPECT_NE(service->find("Type=notify\nRestart=on-failure\n"), std::string::npos);
    EXPECT_NE(service->find("CapabilityBoundingSet=CAP_NET_ADMIN\n"), std::string::npos);
}

// Kernel tunables and control groups stay out of reach of both: the service has them
// protected, the tunnel sees no /sys at all and only its own processes in /proc.
TEST(UnitFile, EachRoleKeepsSysAndProcOutOfReach) {
    auto tunnel = render_unit_file(registration("/v --tunnel-service /c.conf.dpapi"), "");
    auto service = render_unit_file(registration("/v --service"), "");
    ASSERT_TRUE(tunnel && service);
    for (const char* line : {"TemporaryFileSystem=/sys:ro\n", "ProcSubset=pid\n",
                             "ProtectKernelModules=yes\n", "ProtectSystem=strict\n"})
        EXPECT_NE(tunnel->find(line), std::string::npos) << line;
    for (const char* line : {"ProtectKernelTunables=yes\n", "ProtectControlGroups=yes\n",
                             "ProtectKernelModules=yes\n", "ProtectSystem=strict\n"})
        EXPECT_NE(service->find(line), std::string::npos) << line;
}

// A line break in any value would add directives of its own to the unit.
TEST(UnitFile, ValuesThatWouldBreakTheirLineAreRefused) {
    EXPECT_FALSE(render_unit_file(registration("/x --service\nExecStartPre=/bin/sh"), ""));
    EXPECT_FALSE(render_unit_file(registration("/x --service"), "a\nb"));
    auto bad_name = registration("/x --service");
    bad_name.display_name = "x\rUser=nobody";
    EXPECT_FALSE(render_unit_file(bad_name, ""));
}

}  // namespace
}  // namespace velnaro::platform
