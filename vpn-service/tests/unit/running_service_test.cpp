#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "core/version.hpp"
#include "fake/fake_platform.hpp"
#include "ipc_client/client.hpp"
#include "ipc/pipe_server.hpp"
#include "platform/paths.hpp"
#include "service/running_service.hpp"

namespace velnaro {
namespace {

namespace control = platform::service_control;
constexpr std::string_view kPipe = "service-test-pipe";

struct ServiceMachine : fake::FakePlatform {
    ServiceMachine() {
#ifdef _WIN32
        system.environment["PROGRAMDATA"] = "C:\\ProgramData";
#else
        system.environment["PROGRAMDATA"] = "/var/lib";
#endif
        pipes.open_waits_for_server = true;
    }
    ServiceRunResult run(const ServiceProcess::ThreadStarter& start_thread = {}) {
        ServiceProcess process(runtime, kPipe);
        if (start_thread)
            process.start_thread = start_thread;
        return run_service(process);
    }
};

std::string version_answer(platform::Platform& platform) {
    auto answer =
        send_request(platform, R"({"command":"GET_VERSION"})", kPipe, std::chrono::seconds(2));
    return answer ? std::string(answer->begin(), answer->end()) : "<none>";
}

TEST(ServiceHost, RunsServesAndStopsOnEachStopLikeControl) {
    for (const std::uint32_t stop_control : {control::kStop, control::kShutdown}) {
        SCOPED_TRACE(stop_control);
        ServiceMachine machine;
        std::string served;
        machine.host.while_running = [&] { served = version_answer(machine.platform); };
        machine.host.controls = {control::kInterrogate, control::kPause, control::kContinue,
                                 control::kParamChange, stop_control,    control::kStop};
        EXPECT_EQ(machine.run().dispatcher_error, 0u);
        EXPECT_EQ(served, R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})");
        // The repeated stop after the context was released is acknowledged and harmless.
        EXPECT_EQ(machine.host.answers(), (std::vector<std::uint32_t>{0, 120, 120, 120, 0, 0}));
        EXPECT_EQ(machine.host.reports(),
                  (std::vector<platform::ServiceStatusReport>{kRunningReport, kStopPendingReport,
                                                              kStoppedReport}));
        EXPECT_EQ(machine.host.thread_names(), (std::vector<std::string>{"velnaro-vpn-ipc"}));
        EXPECT_EQ(machine.host.dispatched_service(), kServiceName);
        // The request lends only its identity; the wake-ups lend nothing.
        const auto& identities = machine.pipes.identities;
        EXPECT_EQ(identities.front(), platform::ClientIdentity::identify);
        EXPECT_EQ(identities.back(), platform::ClientIdentity::anonymous);
        EXPECT_FALSE(machine.platform.pipes.pipe_exists(kPipe)) << "the pipe server has ended";
    }
}

TEST(ServiceHost, RemovesTheTemporaryFilesOfInterruptedWritesAtStart) {
    ServiceMachine machine;
    const std::string leftover =
        join_path(join_path(join_path(machine.system.environment["PROGRAMDATA"], "Velnaro"), "vpn"),
                  "metadata.tmp-0123abcd-4567-4890-a123-456789abcdef");
    machine.files.put_file(leftover, "x");
    machine.host.controls = {control::kStop};
    EXPECT_EQ(machine.run().dispatcher_error, 0u);
    EXPECT_EQ(machine.files.path_kind(leftover), platform::PathKind::missing);
    EXPECT_EQ(machine.log.lines.front().message,
              "removed 1 temporary file(s) left by an interrupted write");
}

TEST(ServiceHost, HoldsTheRecordedRangesAgainAtStartAndServesWhenItCannot) {
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused);
        ServiceMachine machine;
        if (refused)
            machine.faults.fail_always("restore_ranges");
        std::string served;
        machine.host.while_running = [&] { served = version_answer(machine.platform); };
        machine.host.controls = {control::kStop};
        EXPECT_EQ(machine.run().dispatcher_error, 0u);
        EXPECT_EQ(machine.ranges.restores, 1);
        EXPECT_NE(served, "<none>");
        const bool logged = std::any_of(machine.log.lines.begin(), machine.log.lines.end(),
                                        [](const auto& line) {
                                            return line.code == DetailCode::TUNNEL_RANGES_HOLD_FAILED;
                                        });
        EXPECT_EQ(logged, refused);
    }
}

TEST(ServiceHost, PreshutdownReleasesTheContextAndTheServiceStops) {
    ServiceMachine machine;
    machine.host.controls = {control::kPreshutdown, control::kStop};
    EXPECT_EQ(machine.run().dispatcher_error, 0u);
    EXPECT_EQ(machine.host.answers(), (std::vector<std::uint32_t>{120, 0}));
    EXPECT_EQ(machine.host.reports().back(), kStoppedReport);
}

// Each give-up registers the handler first and ends with STOPPED carrying the reason's
// number, so the service never hangs START_PENDING and the manager's recovery can act.
TEST(ServiceHost, AServiceThatGivesUpReportsStoppedWithItsReason) {
    using Starter = ServiceProcess::ThreadStarter;
    const Starter refuse = [](auto) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    const Starter misbehave = [](auto) -> std::thread { throw std::runtime_error("bug"); };
    struct Case {
        const char* name;
        std::function<void(ServiceMachine&)> arrange;
        Starter start_thread;
        DetailCode reason;
    };
    const std::vector<Case> cases = {
        {"data directory refused",
         [](auto& m) { m.faults.fail_always("hold_directory"); },
         {},
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"relative PROGRAMDATA",
         [](auto& m) { m.system.environment["PROGRAMDATA"] = "ProgramData"; },
         {},
         DetailCode::PROGRAMDATA_UNAVAILABLE},
        {"thread not started", [](auto&) {}, refuse, DetailCode::SERVICE_THREAD_START_FAILED},
        {"exception in the service main", [](auto&) {}, misbehave,
         DetailCode::SERVICE_INTERNAL_ERROR},
        {"running not reported",
         [](auto& m) { m.faults.fail_nth("set_service_status"); },
         {},
         DetailCode::SERVICE_STATUS_REPORT_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceMachine machine;
        c.arrange(machine);
        machine.host.controls = {control::kStop};
        const ServiceRunResult result = machine.run(c.start_thread);
        EXPECT_EQ(result.dispatcher_error, 0u);
        EXPECT_EQ(result.gave_up, c.reason);
        ASSERT_FALSE(machine.host.reports().empty());
        const auto stopped = machine.host.reports().back();
        EXPECT_EQ(stopped.current_state, 1u);
        EXPECT_EQ(stopped.win32_exit_code, 1066u);
        EXPECT_EQ(stopped.service_specific_exit_code, stable_number(c.reason));
        EXPECT_EQ(machine.host.events().front(), "register");
        EXPECT_FALSE(machine.platform.pipes.pipe_exists(kPipe))
            << "no pipe server is left running behind a service that gave up";
    }
}

TEST(ServiceHost, AServerThatCannotHoldThePipeStopsTheService) {
    ServiceMachine machine;
    const auto squatter = machine.platform.pipes.create_server(kPipe);
    ASSERT_TRUE(squatter);
    const ServiceRunResult result = machine.run();
    EXPECT_EQ(result.gave_up, DetailCode::IPC_PIPE_IN_USE);
    EXPECT_EQ(machine.host.reports().back(), stopped_report(DetailCode::IPC_PIPE_IN_USE));
}

TEST(ServiceHost, WithoutAHandlerNothingCanBeReportedButTheReasonIsKept) {
    ServiceMachine machine;
    machine.faults.fail_nth("register_control_handler");
    const ServiceRunResult result = machine.run();
    EXPECT_EQ(result.gave_up, DetailCode::SERVICE_CONTROL_HANDLER_FAILED);
    EXPECT_TRUE(machine.host.reports().empty());
    EXPECT_TRUE(machine.host.thread_names().empty()) << "nothing starts before the registration";
    ASSERT_TRUE(result.gave_up->cause) << "the manager's refusal travels to the give-up";
    EXPECT_NE(result.gave_up->cause->code, 0u);
    EXPECT_TRUE(machine.log.lines.empty()) << "logged once, where the give-up is reported";
}

TEST(ServiceHost, AGiveUpIsExplainedAndReportedWhereNothingWasReportedYet) {
    fake::FakePlatform machine;
    report_give_up(machine.platform, "Tunnel", DetailCode::TUNNEL_DLL_MISSING, false);
    EXPECT_EQ(machine.host.early_reports(), (std::vector<std::string>{"Tunnel:1:1066:82"}));
    ASSERT_EQ(machine.host.explanations().size(), 1u);
    EXPECT_NE(machine.host.explanations()[0].find("TUNNEL_DLL_MISSING"), std::string::npos);

    EXPECT_TRUE(machine.log.lines.empty()) << "a give-up without a system error has no cause to log";

    report_give_up(machine.platform, "Service",
                   Failure(DetailCode::IPC_PIPE_IN_USE, OsError{98, "bind", "/run/pipe"}), true);
    EXPECT_EQ(machine.host.early_reports().size(), 1u) << "its STOPPED was already reported";
    EXPECT_NE(machine.host.explanations()[1].find("already running"), std::string::npos);
    ASSERT_EQ(machine.log.lines.size(), 1u) << "the system's error is logged once, here";
    EXPECT_EQ(machine.log.lines[0].code, DetailCode::IPC_PIPE_IN_USE);
    EXPECT_EQ(machine.log.lines[0].os_error, 98);
    EXPECT_EQ(machine.log.lines[0].subject, "/run/pipe");
}

TEST(ServiceHost, ADispatcherThatCannotConnectIsReported) {
    ServiceMachine machine;
    machine.faults.fail_nth("start_dispatcher");
    EXPECT_EQ(machine.run().dispatcher_error, platform::kErrorFailedServiceControllerConnect);
    EXPECT_TRUE(machine.host.reports().empty());
    ASSERT_EQ(machine.log.lines.size(), 1u);
    EXPECT_EQ(machine.log.lines[0].os_error,
              static_cast<int>(platform::kErrorFailedServiceControllerConnect));
}

TEST(StopChannel, EndsTheWaitOnAMessageOrWhenTheSenderIsGone) {
    StopChannel by_message;
    std::thread sender([&] { by_message.send(); });
    by_message.receive();
    sender.join();

    StopChannel by_drop;
    std::thread dropper([&] { by_drop.drop_sender(); });
    by_drop.receive();
    dropper.join();
    SUCCEED();
}

}  // namespace
}  // namespace velnaro
