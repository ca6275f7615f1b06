#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/posix/service_host.hpp"
#include "service_process.hpp"

namespace velnaro::platform {
namespace {

struct Received {
    std::atomic<int> stops = 0;
};

std::uint32_t count_stop(std::uint32_t control, std::uint32_t, void*, void* context) {
    if (control == service_control::kStop)
        ++static_cast<Received*>(context)->stops;
    return 0;
}

// The dispatcher has blocked the stop signals and taken the signal before the service main
// registered its handler: the stop must still reach the handler once it is registered.
TEST(PosixServiceHost, AStopBeforeTheHandlerIsRegisteredIsKept) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        PosixServiceHost host;
        Received received;
        const pthread_t dispatcher = pthread_self();
        const auto result = host.run_dispatcher("VelnaroVpnService", [&](auto) {
            // Aimed at the dispatcher's thread, which has the signal blocked and waits for it.
            ASSERT_EQ(pthread_kill(dispatcher, signal), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ASSERT_TRUE(host.register_control_handler("VelnaroVpnService", count_stop, &received));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (received.stops == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        });
        EXPECT_TRUE(result.has_value());
        EXPECT_EQ(received.stops, 1) << "the early stop was lost";
    }
}

// The idle service waits without a time limit everywhere: a stop after a long idle spell
// must still reach every thread, and the service ends by itself instead of being killed.
TEST(PosixServiceHost, AStopDuringALongIdleWaitEndsTheService) {
    auto service = testing::ServiceProcess::start(testing::built_executable("vpn-service"));
    if (!service)
        GTEST_SKIP() << service.error();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(service->running());
    EXPECT_EQ(service->stop(), 0) << "the stop was lost: the service had to be killed";
}

}  // namespace
}  // namespace velnaro::platform
