#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "core/version.hpp"
#include "fake/fake_error.hpp"
#include "fake/fake_platform.hpp"
#include "platform/paths.hpp"
#include "service_manager/service_commands.hpp"
#include "service_manager/tunnel_service_manager.hpp"

namespace velnaro {
namespace {

using platform::service_state::kRunning;
using platform::service_state::kStopped;

#ifdef _WIN32
constexpr std::string_view kExecutable = "C:\\Program Files\\Velnaro\\vpn-service.exe";
constexpr std::string_view kCommandLine =
    "\"C:\\Program Files\\Velnaro\\vpn-service.exe\" --service";
#else
constexpr std::string_view kExecutable = "/opt/Velnaro VPN/vpn-service";
constexpr std::string_view kCommandLine = "\"/opt/Velnaro VPN/vpn-service\" --service";
#endif

struct Machine : fake::FakePlatform {
    Machine() {
        system.executable = std::string(kExecutable);
        files.put_file(kExecutable, "binary");
    }
    void registered(std::uint32_t state, std::uint32_t sid_type = 1) {
        fake::FakeService service;
        service.registration.name = std::string(kServiceName);
        service.state = state;
        service.sid_type = sid_type;
        services.services[std::string(kServiceName)] = service;
    }
    fake::FakeService* ours() {
        const auto found = services.services.find(kServiceName);
        return found == services.services.end() ? nullptr : &found->second;
    }
};

struct Case {
    const char* name;
    std::function<void(Machine&)> arrange;
    ServiceCommandResult expected;
};

ServiceCommandResult ok(std::string_view state) {
    return {true, state, std::nullopt};
}

void check_all(const std::vector<Case>& cases,
               const std::function<ServiceCommandResult(platform::Platform&)>& operation) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        c.arrange(machine);
        EXPECT_EQ(operation(machine.platform), c.expected);
        EXPECT_EQ(machine.services.open_handles(), 0) << "every handle is closed";
    }
}

TEST(InstallService, EveryResult) {
    const auto failed = [](DetailCode code) {
        return ServiceCommandResult{false, "INSTALL_FAILED", code};
    };
    check_all(
        {
            {"clean machine", [](Machine&) {}, ok("INSTALLED")},
            {"running already", [](Machine& m) { m.registered(kRunning); },
             ok("ALREADY_INSTALLED")},
            {"stopped", [](Machine& m) { m.registered(kStopped); }, ok("ALREADY_INSTALLED")},
            {"no manager", [](Machine& m) { m.faults.fail_nth("open_manager"); },
             failed(DetailCode::SERVICE_MANAGER_ACCESS_DENIED)},
            {"sid unreadable",
             [](Machine& m) {
                 m.registered(kRunning);
                 m.faults.fail_nth("query_service_sid_type");
             },
             failed(DetailCode::SERVICE_SID_QUERY_FAILED)},
            {"left without sid type", [](Machine& m) { m.registered(kStopped, 0); },
             failed(DetailCode::SERVICE_SID_INVALID)},
            {"status unreadable",
             [](Machine& m) {
                 m.registered(kRunning);
                 m.faults.fail_nth("query_service_state");
             },
             failed(DetailCode::SERVICE_STATUS_QUERY_FAILED)},
            {"state outside 1..7", [](Machine& m) { m.registered(9); },
             failed(DetailCode::SERVICE_STATUS_QUERY_FAILED)},
            {"stopped one will not start",
             [](Machine& m) {
                 m.registered(kStopped);
                 m.faults.fail_nth("start_service");
             },
             failed(DetailCode::SERVICE_START_FAILED)},
            {"no executable path", [](Machine& m) { m.system.executable.reset(); },
             failed(DetailCode::EXECUTABLE_PATH_UNAVAILABLE)},
            {"relative executable path", [](Machine& m) { m.system.executable = "vpn-service"; },
             failed(DetailCode::EXECUTABLE_PATH_INVALID)},
            {"executable missing", [](Machine& m) { m.files.files.clear(); },
             failed(DetailCode::EXECUTABLE_PATH_INVALID)},
            {"create refused", [](Machine& m) { m.faults.fail_nth("create_service"); },
             failed(DetailCode::SERVICE_CREATE_FAILED)},
            {"description refused",
             [](Machine& m) { m.faults.fail_nth("set_service_description"); },
             failed(DetailCode::SERVICE_DESCRIPTION_FAILED)},
            {"sid type refused", [](Machine& m) { m.faults.fail_nth("set_service_sid_type"); },
             failed(DetailCode::SERVICE_SID_CONFIGURATION_FAILED)},
            {"privileges refused", [](Machine& m) { m.faults.fail_nth("set_required_privileges"); },
             failed(DetailCode::SERVICE_HARDENING_FAILED)},
            {"recovery refused", [](Machine& m) { m.faults.fail_nth("set_recovery"); },
             failed(DetailCode::SERVICE_HARDENING_FAILED)},
            {"new one will not start", [](Machine& m) { m.faults.fail_nth("start_service"); },
             failed(DetailCode::SERVICE_START_FAILED)},
            // An upgrade's removal of the old version still under way.
            {"old record opens, marked, and goes",
             [](Machine& m) {
                 m.registered(kRunning);
                 m.ours()->marked_for_deletion = m.ours()->opens_while_marked = true;
                 m.system.on_sleep = [&m] {
                     if (m.system.sleeps == 3)
                         m.services.services.erase(std::string(kServiceName));
                 };
             },
             ok("INSTALLED")},
            {"old record refused as marked, and stays",
             [](Machine& m) {
                 m.registered(kRunning);
                 m.ours()->marked_for_deletion = true;
             },
             failed(DetailCode::SERVICE_CREATE_FAILED)},
        },
        install_service);
}

TEST(InstallService, RefusesALocationAnotherAccountCouldReplace) {
    const std::string folder = *parent_directory(kExecutable);
    const std::string components = join_path(folder, "vpn");
    const std::string library = join_path(components, "wireguard.so");
    const struct {
        const char* name;
        std::string replaceable;  // "" = nothing
        const char* fault;        // an operation that fails, or ""
        bool installed;
        std::string installers_own = "";  // trusted by the installing account, not the service
    } cases[] = {
        {"safe", "", "", true},
        {"executable", std::string(kExecutable), "", false},
        {"a folder above it", *parent_directory(folder), "", false},
        {"a component", library, "", false},
        {"cannot be inspected", "", "replaceable_by_others", false},
        {"component folder unreadable", "", "list_directory", false},
        {"a component of the installing account", "", "", false, library},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        machine.files.create_directories(components);
        machine.files.put_file(library, "so");
        if (!c.replaceable.empty())
            machine.files.replaceable.insert(c.replaceable);
        if (!c.installers_own.empty())
            machine.files.owned_by_running_account.insert(c.installers_own);
        if (*c.fault)
            machine.faults.fail_always(c.fault);
        const auto result = install_service(machine.platform);
        EXPECT_EQ(result.success, c.installed);
        if (!c.installed) {
            EXPECT_EQ(result, (ServiceCommandResult{false, "INSTALL_FAILED",
                                                    DetailCode::SERVICE_LOCATION_UNSAFE}));
            EXPECT_EQ(machine.ours(), nullptr) << "nothing is registered";
        }
    }
}

TEST(InstallService, RegistersTheFixedValuesAndStartsTheService) {
    Machine machine;
    ASSERT_EQ(install_service(machine.platform), ok("INSTALLED"));
    const fake::FakeService* service = machine.ours();
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->registration.display_name, "Velnaro VPN Service");
    EXPECT_EQ(service->registration.command_line, kCommandLine);
    EXPECT_EQ(service->registration.dependencies, (std::vector<std::string>{"Nsi", "TcpIp"}));
    EXPECT_EQ(service->registration.start_type, 2u);
    EXPECT_EQ(service->description,
              "Gere la connexion securisee privee de Velnaro sans exposer les cles au frontend.");
    EXPECT_EQ(service->sid_type, 1u);
    EXPECT_EQ(service->required_privileges, (std::vector<std::string>{"SeChangeNotifyPrivilege"}));
    ASSERT_TRUE(service->recovery);
    EXPECT_EQ(service->recovery->restart_delays,
              (std::vector<std::chrono::milliseconds>{std::chrono::seconds(5),
                                                      std::chrono::seconds(30)}));
    EXPECT_EQ(service->recovery->reset_period, std::chrono::hours(24));
    EXPECT_EQ(service->starts, 1);
}

TEST(InstallService, ARunningServiceIsNeitherStartedNorChanged) {
    Machine machine;
    machine.registered(kRunning);
    machine.ours()->registration.command_line = "old";
    ASSERT_EQ(install_service(machine.platform), ok("ALREADY_INSTALLED"));
    EXPECT_EQ(machine.ours()->starts, 0);
    EXPECT_EQ(machine.ours()->registration.command_line, "old");
}

TEST(InstallService, AFailedFirstInstallLeavesARegistrationTheSecondRefuses) {
    Machine machine;
    machine.faults.fail_nth("set_service_description");
    EXPECT_FALSE(install_service(machine.platform).success);
    EXPECT_EQ(install_service(machine.platform),
              (ServiceCommandResult{false, "INSTALL_FAILED", DetailCode::SERVICE_SID_INVALID}));
}

// The result line carries the detail code only; the manager's own error goes to the log.
TEST(InstallService, KeepsTheManagersErrorWithTheDetailCode) {
    struct LoggedCase {
        const char* failing;
        bool installed;
        std::function<ServiceCommandResult(platform::Platform&)> operation;
        DetailCode code;
    };
    const LoggedCase cases[] = {
        {"open_manager", false, install_service, DetailCode::SERVICE_MANAGER_ACCESS_DENIED},
        {"create_service", false, install_service, DetailCode::SERVICE_CREATE_FAILED},
        {"set_recovery", false, install_service, DetailCode::SERVICE_HARDENING_FAILED},
        {"query_service_state", true, install_service, DetailCode::SERVICE_STATUS_QUERY_FAILED},
        {"delete_service", true, uninstall_service, DetailCode::SERVICE_DELETE_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        Machine machine;
        if (c.installed)
            machine.registered(kStopped);
        machine.faults.fail_nth(c.failing);
        const auto failure = c.operation(machine.platform).failure;
        ASSERT_TRUE(failure && failure->cause);
        EXPECT_EQ(failure->code, c.code);
        EXPECT_EQ(failure->cause->operation, c.failing);
        EXPECT_EQ(failure->cause->code, fake::kFakeFailure);
        EXPECT_TRUE(machine.log.lines.empty()) << "the command-line mode logs it, once";
    }
}

TEST(UninstallService, EveryResult) {
    const auto failed = [](DetailCode code) {
        return ServiceCommandResult{false, "UNINSTALL_FAILED", code};
    };
    const auto tunnel = [](Machine& m, std::uint32_t state) {
        fake::FakeService service;
        service.state = state;
        m.services.services[std::string(kTunnelServiceName)] = service;
    };
    check_all(
        {
            {"running", [](Machine& m) { m.registered(kRunning); }, ok("REMOVAL_SCHEDULED")},
            {"stopped", [](Machine& m) { m.registered(kStopped); }, ok("REMOVAL_SCHEDULED")},
            {"absent", [](Machine&) {}, ok("NOT_INSTALLED")},
            {"tunnel service will not go",
             [&](Machine& m) {
                 tunnel(m, kStopped);
                 m.faults.fail_always("delete_service");
             },
             failed(DetailCode::TUNNEL_SERVICE_DELETE_FAILED)},
            {"tunnel's routes will not go",
             [](Machine& m) {
                 m.registered(kRunning);
                 m.faults.fail_always("release_tunnel_routes");
             },
             failed(DetailCode::TUNNEL_SERVICE_STOP_FAILED)},
            {"no manager",
             [](Machine& m) {
                 m.registered(kRunning);
                 Machine probe;  // the manager opens that the tunnel's removal makes first
                 ASSERT_TRUE(remove_tunnel_service(probe.platform));
                 m.faults.fail_nth("open_manager", probe.faults.count("open_manager") + 1);
             },
             failed(DetailCode::SERVICE_MANAGER_ACCESS_DENIED)},
            {"status unreadable",
             [](Machine& m) {
                 m.registered(kRunning);
                 m.faults.fail_always("query_service_state");
             },
             failed(DetailCode::SERVICE_STATUS_QUERY_FAILED)},
            {"not ours to remove",
             [](Machine& m) {
                 m.registered(kRunning);
                 m.services.open_service_fault = platform::OpenServiceFailure::access_denied;
                 m.faults.fail_always("open_service");
             },
             failed(DetailCode::SERVICE_ACCESS_DENIED)},
            {"manager gave no answer about it",
             [](Machine& m) {
                 m.registered(kRunning);
                 m.faults.fail_always("open_service");
             },
             failed(DetailCode::SERVICE_MANAGER_UNAVAILABLE)},
            {"stop refused",
             [](Machine& m) {
                 m.registered(kRunning);
                 m.faults.fail_nth("stop_service");
             },
             failed(DetailCode::SERVICE_STOP_FAILED)},
            {"delete refused",
             [](Machine& m) {
                 m.registered(kStopped);
                 m.faults.fail_nth("delete_service");
             },
             failed(DetailCode::SERVICE_DELETE_FAILED)},
        },
        uninstall_service);
}

TEST(UninstallService, RemovesTheTunnelServiceFirstAndStopsOnlyARunningService) {
    Machine machine;
    machine.registered(kStopped);
    machine.services.services[std::string(kTunnelServiceName)] = fake::FakeService{};
    machine.ranges.blocked = {"10.250.0.0/16"};
    ASSERT_EQ(uninstall_service(machine.platform), ok("REMOVAL_SCHEDULED"));
    EXPECT_TRUE(machine.ranges.blocked.empty()) << "the tunnel's held ranges go with it";
    EXPECT_EQ(machine.faults.count("stop_service"), 0) << "a stopped service gets no stop control";
    EXPECT_TRUE(machine.ours() == nullptr || machine.ours()->marked_for_deletion);
    const auto& calls = machine.faults.calls();
    const auto first_delete = std::find(calls.begin(), calls.end(), "delete_service");
    ASSERT_NE(first_delete, calls.end());
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "delete_service"), 2) << "tunnel, then ours";
    EXPECT_FALSE(machine.services.services.contains(std::string(kTunnelServiceName)) &&
                 !machine.services.services[std::string(kTunnelServiceName)].marked_for_deletion);
}

TEST(UninstallService, WaitsUntilTheServiceHasStoppedAndItsRecordIsGone) {
    Machine machine;
    machine.registered(kRunning);
    machine.services.on_stop = [](fake::FakeService& s) {
        s.state = platform::service_state::kStopPending;
    };
    machine.system.on_sleep = [&] {
        if (machine.system.sleeps == 4)
            machine.ours()->state = kStopped;
    };
    ASSERT_EQ(uninstall_service(machine.platform), ok("REMOVAL_SCHEDULED"));
    EXPECT_EQ(machine.system.sleeps, 4);
    EXPECT_EQ(machine.ours(), nullptr);
}

TEST(QueryServiceStatus, EveryResult) {
    std::vector<Case> cases = {
        {"absent", [](Machine&) {}, ok("NOT_INSTALLED")},
        {"no manager",
         [](Machine& m) { m.faults.fail_nth("open_manager"); },
         {false, "UNKNOWN", DetailCode::SERVICE_MANAGER_UNAVAILABLE}},
        {"no right to open it",
         [](Machine& m) {
             m.registered(kRunning);
             m.faults.fail_nth("open_service");
         },
         ok("NOT_INSTALLED")},
        {"status unreadable",
         [](Machine& m) {
             m.registered(kRunning);
             m.faults.fail_nth("query_service_state");
         },
         {false, "UNKNOWN", DetailCode::SERVICE_STATUS_QUERY_FAILED}},
        {"state 0",
         [](Machine& m) { m.registered(0); },
         {false, "UNKNOWN", DetailCode::SERVICE_STATUS_QUERY_FAILED}},
        {"state 8",
         [](Machine& m) { m.registered(8); },
         {false, "UNKNOWN", DetailCode::SERVICE_STATUS_QUERY_FAILED}},
    };
    const std::vector<std::string_view> names = {"STOPPED", "START_PENDING",    "STOP_PENDING",
                                                 "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING",
                                                 "PAUSED"};
    for (std::uint32_t state = 1; state <= 7; ++state) {
        cases.push_back(
            {"known state", [state](Machine& m) { m.registered(state); }, ok(names[state - 1])});
    }
    check_all(cases, query_service_status);
}

TEST(ServiceCommandResult, PrintsTheFourMembersInOrder) {
    EXPECT_EQ(
        to_json(ok("RUNNING")),
        R"({"success":true,"serviceName":"VelnaroVpnService","state":"RUNNING","detailCode":null})");
    EXPECT_EQ(
        to_json({false, "UNKNOWN", DetailCode::SERVICE_MANAGER_UNAVAILABLE}),
        R"({"success":false,"serviceName":"VelnaroVpnService","state":"UNKNOWN","detailCode":"SERVICE_MANAGER_UNAVAILABLE"})");
}

}  // namespace
}  // namespace velnaro
