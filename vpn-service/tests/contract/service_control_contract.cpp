#include <chrono>
#include <random>
#include <thread>

#include "contract/contracts.hpp"

namespace velnaro::contract {

namespace access = platform::access;

void ServiceControlContract::SetUp() {
    if (GetParam().unavailable) {
        if (const std::string why = GetParam().unavailable(); !why.empty())
            GTEST_SKIP() << why;
    }
    services = GetParam().make();
    auto opened = services->open_manager(access::kManagerConnect | access::kManagerCreateService);
    if (!opened)
        GTEST_SKIP() << "the service manager cannot be opened: " << opened.error();
    manager = std::move(*opened);
    registration.name = "VelnaroContract" + std::to_string(std::random_device{}() % 1000000);
    registration.display_name = "Velnaro contract test";
    registration.start_type = 3;  // on demand: never started here
    registration.command_line = GetParam().command_line;
}

namespace {

// Every right the cases use, by name: systemd refuses rights it does not know, where Windows
// grants SERVICE_ALL_ACCESS.
constexpr std::uint32_t kCaseRights = access::kServiceQueryConfig | access::kServiceChangeConfig |
                                      access::kServiceQueryStatus | access::kServiceStart |
                                      access::kServiceStop | access::kDelete;

TEST_P(ServiceControlContract, CreateChangeDescribeQueryAndDelete) {
    {
        auto service = services->create_service(manager.get(), registration, kCaseRights);
        ASSERT_TRUE(service) << service.error();
        EXPECT_EQ(services->query_service_state(service->get()), platform::service_state::kStopped);
        auto again = services->create_service(manager.get(), registration, kCaseRights);
        ASSERT_FALSE(again) << "a name is registered once";
        EXPECT_TRUE(is_os_failure(again.error()));

        registration.display_name += ", updated";
        EXPECT_TRUE(services->change_service_config(service->get(), registration));
        EXPECT_TRUE(services->set_service_description(service->get(), "Un service de test."));
        ASSERT_TRUE(services->delete_service(service->get()));
    }
    // Gone once its last handle is closed; the refusal still names it.
    auto reopened =
        services->open_service(manager.get(), registration.name, access::kServiceQueryStatus);
    ASSERT_FALSE(reopened);
    EXPECT_EQ(reopened.error().kind, platform::OpenServiceFailure::missing);
    EXPECT_TRUE(is_os_failure(reopened.error().os));
    EXPECT_EQ(reopened.error().os.subject, registration.name);
}

// Windows refuses the stop control of a stopped service; systemd runs the stop job, which ends
// at once. Callers rely only on what both do: it stays stopped, and a refusal says why.
TEST_P(ServiceControlContract, AStopLeavesAStoppedServiceStopped) {
    auto service = services->create_service(manager.get(), registration, kCaseRights);
    ASSERT_TRUE(service) << service.error();
    if (auto stopped = services->stop_service(service->get()); !stopped) {
        EXPECT_TRUE(is_os_failure(stopped.error()));
    }
    EXPECT_EQ(services->query_service_state(service->get()), platform::service_state::kStopped);
    EXPECT_TRUE(services->delete_service(service->get()));
}

// The status asked for alongside other work is the status asked for alone; the other work runs
// once where the question goes out ahead, and not at all elsewhere.
TEST_P(ServiceControlContract, AStatusQueryRunsOtherWorkMeanwhileWhereItAsksAhead) {
    auto service = services->create_service(manager.get(), registration, kCaseRights);
    ASSERT_TRUE(service) << service.error();
    int ran = 0;
    const auto alongside =
        services->query_service_status_while(service->get(), [&] { ++ran; });
    EXPECT_EQ(ran, GetParam().asks_ahead ? 1 : 0);
    ASSERT_TRUE(alongside) << alongside.error();
    const auto alone = services->query_service_status(service->get());
    ASSERT_TRUE(alone) << alone.error();
    EXPECT_EQ(alongside->current_state, alone->current_state);
    EXPECT_EQ(alongside->win32_exit_code, alone->win32_exit_code);
    EXPECT_TRUE(services->delete_service(service->get()));
}

// The wait for a start or a stop ends with the change, not before it (the state it reads then is
// the one asked for) and not long after it; with nothing asked, it does not wait.
TEST_P(ServiceControlContract, AWaitForAStartOrStopEndsWhenItIsDone) {
    if (GetParam().slow_stopping_command_line.empty())
        GTEST_SKIP() << "this manager does not say when a start or stop is done";
    registration.command_line = GetParam().slow_stopping_command_line;
    auto service = services->create_service(manager.get(), registration, kCaseRights);
    ASSERT_TRUE(service) << service.error();
    constexpr auto kLimit = std::chrono::seconds(10);
    EXPECT_FALSE(services->await_requested_change(service->get(), kLimit));
    ASSERT_TRUE(services->start_service(service->get()));
    EXPECT_TRUE(services->await_requested_change(service->get(), kLimit));
    EXPECT_EQ(services->query_service_state(service->get()), platform::service_state::kRunning);
    // Running is reported once the process is forked: its shell sets its trap a little later.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    ASSERT_TRUE(services->stop_service(service->get()));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(services->await_requested_change(service->get(), kLimit));
    const auto waited = std::chrono::steady_clock::now() - asked;
    EXPECT_EQ(services->query_service_state(service->get()), platform::service_state::kStopped);
    EXPECT_GE(waited, std::chrono::milliseconds(250)) << "the service takes 0.3 s to stop";
    EXPECT_LT(waited, std::chrono::seconds(2));
    EXPECT_FALSE(services->await_requested_change(service->get(), kLimit)) << "already seen";
    EXPECT_TRUE(services->delete_service(service->get()));
}

}  // namespace
}  // namespace velnaro::contract
