#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "core/version.hpp"
#include "fake/fake_platform.hpp"
#include "ipc/client.hpp"
#include "service/service_host.hpp"

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
    std::uint32_t run() {
        ServiceProcess process(runtime, kPipe);
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
        EXPECT_EQ(machine.run(), 0u);
        EXPECT_EQ(served, R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})");
        // The repeated stop after the context was released is acknowledged and harmless.
        EXPECT_EQ(machine.host.answers(), (std::vector<std::uint32_t>{0, 120, 120, 120, 0, 0}));
        EXPECT_EQ(machine.host.reports(),
                  (std::vector<platform::ServiceStatusReport>{kRunningReport, kStoppedReport}));
        EXPECT_EQ(machine.host.thread_names(), (std::vector<std::string>{"velnaro-vpn-ipc"}));
        EXPECT_EQ(machine.host.dispatched_service(), kServiceName);
        EXPECT_FALSE(machine.platform.pipes.pipe_exists(kPipe)) << "the pipe server has ended";
    }
}

TEST(ServiceHost, PreshutdownReleasesTheContextAndTheServiceStops) {
    ServiceMachine machine;
    machine.host.controls = {control::kPreshutdown, control::kStop};
    EXPECT_EQ(machine.run(), 0u);
    EXPECT_EQ(machine.host.answers(), (std::vector<std::uint32_t>{120, 0}));
    EXPECT_EQ(machine.host.reports().back(), kStoppedReport);
}

TEST(ServiceHost, GivesUpWithoutAnyReportWhenItCannotStart) {
    struct Case {
        const char* name;
        std::function<void(ServiceMachine&)> arrange;
        bool server_started;
    };
    const std::vector<Case> cases = {
        {"no data directory", [](auto& m) { m.faults.fail_always("hold_directory"); }, false},
        {"handler not registered", [](auto& m) { m.faults.fail_nth("register_control_handler"); },
         true},
        {"running not reported", [](auto& m) { m.faults.fail_nth("set_service_status"); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceMachine machine;
        c.arrange(machine);
        machine.host.controls = {control::kStop};
        EXPECT_EQ(machine.run(), 0u);
        EXPECT_TRUE(machine.host.reports().empty());
        EXPECT_EQ(machine.host.thread_names().size(), c.server_started ? 1u : 0u);
        EXPECT_FALSE(machine.platform.pipes.pipe_exists(kPipe))
            << "no pipe server is left running behind a service that gave up";
    }
}

TEST(ServiceHost, ADispatcherThatCannotConnectIsReported) {
    ServiceMachine machine;
    machine.faults.fail_nth("start_dispatcher");
    EXPECT_EQ(machine.run(), platform::kErrorFailedServiceControllerConnect);
    EXPECT_TRUE(machine.host.reports().empty());
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
