#include <atomic>
#include <chrono>
#include <thread>

#include "contract/contracts.hpp"

namespace velnaro::contract {
namespace {

using platform::ServiceStatusReport;

constexpr std::string_view kService = "VelnaroVpnService";
constexpr std::uint32_t kStopped = 1;
constexpr std::uint32_t kRunning = 4;

std::uint32_t accept_all(std::uint32_t, std::uint32_t, void*, void*) {
    return 0;
}

TEST_P(ServiceHostContract, TheDispatcherRunsTheMainWithItsNameOrRefusesWithoutAManager) {
    auto host = GetParam().make();
    std::atomic<int> calls = 0;
    std::atomic<bool> main_finished = false;
    std::vector<std::string> arguments;
    std::thread::id main_thread;
    const auto result = host->run_dispatcher(kService, [&](std::vector<std::string> received) {
        ++calls;
        arguments = std::move(received);
        main_thread = std::this_thread::get_id();
        // The dispatcher must wait for a main that takes its time.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        main_finished = true;
    });
    if (!GetParam().dispatcher_runs_main) {
        ASSERT_FALSE(result) << "no service manager started this process";
        EXPECT_EQ(result.error().code, platform::kErrorFailedServiceControllerConnect);
        EXPECT_TRUE(is_os_failure(result.error()));
        EXPECT_EQ(calls, 0);
        return;
    }
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(main_finished);
    EXPECT_EQ(arguments, std::vector<std::string>{std::string(kService)});
    EXPECT_NE(main_thread, std::this_thread::get_id()) << "the main runs on a thread of its own";
}

TEST_P(ServiceHostContract, InsideTheMainTheHandlerRegistersUnderItsServiceNameOnly) {
    if (!GetParam().dispatcher_runs_main)
        GTEST_SKIP() << "without a service manager the dispatcher runs no main";
    auto host = GetParam().make();
    const auto result = host->run_dispatcher(kService, [&](auto) {
        const auto stranger = host->register_control_handler("VelnaroOther", accept_all, nullptr);
        ASSERT_FALSE(stranger) << "this process does not run that service";
        EXPECT_TRUE(is_os_failure(stranger.error()));
        const auto no_handler = host->register_control_handler(kService, nullptr, nullptr);
        ASSERT_FALSE(no_handler) << "a missing handler is refused";
        EXPECT_TRUE(is_os_failure(no_handler.error()));

        const auto handle = host->register_control_handler(kService, accept_all, nullptr);
        ASSERT_TRUE(handle) << handle.error();
        EXPECT_NE(handle->value, 0u);
        EXPECT_TRUE(
            host->set_service_status(*handle, ServiceStatusReport{.current_state = kRunning}));
        EXPECT_TRUE(
            host->set_service_status(*handle, ServiceStatusReport{.current_state = kStopped}));
    });
    EXPECT_TRUE(result) << result.error();
}

TEST_P(ServiceHostContract, OutsideTheDispatcherNothingRegistersOrReports) {
    auto host = GetParam().make();
    const auto handle = host->register_control_handler(kService, accept_all, nullptr);
    ASSERT_FALSE(handle) << "no dispatcher runs the service";
    EXPECT_TRUE(is_os_failure(handle.error()));
    const auto reported =
        host->set_service_status({}, ServiceStatusReport{.current_state = kRunning});
    ASSERT_FALSE(reported) << "a report needs a handle";
    EXPECT_TRUE(is_os_failure(reported.error()));
}

TEST_P(ServiceHostContract, AStopReportBeforeTheStartIsRefusedUnlessTheManagerStartedUs) {
    auto host = GetParam().make();
    const auto reported = host->report_stopped_before_start(
        kService, ServiceStatusReport{.current_state = kStopped, .win32_exit_code = 1066});
    if (GetParam().started_by_manager) {
        EXPECT_TRUE(reported) << reported.error();
        return;
    }
    ASSERT_FALSE(reported) << "nobody would read the report";
    EXPECT_TRUE(is_os_failure(reported.error()));
    EXPECT_EQ(reported.error().subject, kService);
}

TEST_P(ServiceHostContract, NamingAThreadAndExplainingAGiveUpTakeAnyText) {
    auto host = GetParam().make();
    const std::string long_name = "velnaro-contract-thread-with-a-long-name";
    std::optional<std::string> seen;
    // On a thread of its own, so the test runner's thread keeps its name.
    std::thread([&] {
        host->name_current_thread(long_name);
        seen = GetParam().current_thread_name(*host);
    }).join();
    if (seen) {
        EXPECT_FALSE(seen->empty()) << "a name too long for the system is cut, not dropped";
        EXPECT_TRUE(long_name.starts_with(*seen)) << *seen;
    }

    // Either one whole line on standard error or nothing at all.
    const std::string reason = "contract: the tunnel library is missing";
    ::testing::internal::CaptureStderr();
    host->explain_give_up(reason);
    const std::string written = ::testing::internal::GetCapturedStderr();
    if (!written.empty()) {
        EXPECT_EQ(written, reason + "\n");
    }
    if (!seen)
        GTEST_SKIP() << GetParam().name << " cannot read a thread's name back here";
}

}  // namespace
}  // namespace velnaro::contract
