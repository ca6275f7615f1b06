#include <gtest/gtest.h>

#include "core/version.hpp"
#include "fake/fake_platform.hpp"
#include "ipc/ipc_self_test.hpp"

namespace velnaro {
namespace {

constexpr std::string_view kPipe = "self-test-pipe";

// An installer that runs the self-test right after installing must not take the name from a
// service that is starting or between two connections.
TEST(IpcSelfTest, NeverTakesTheNameFromAServiceTheManagerCallsUp) {
    namespace st = platform::service_state;
    for (const std::uint32_t state : {st::kStartPending, st::kRunning, st::kStopped}) {
        SCOPED_TRACE(state);
        fake::FakePlatform fake;
        const bool up = state != st::kStopped;
        fake.pipes.on_idle = nullptr;
        fake.pipes.open_waits_for_server = !up;  // lets a private server start first
        fake::FakeService service;
        service.registration.name = std::string(kServiceName);
        service.state = state;
        fake.services.services[std::string(kServiceName)] = service;
        const IpcSelfTestResult result = run_ipc_self_test(fake.runtime, kPipe);
        EXPECT_EQ(fake.pipes.servers_created(), up ? 0 : 1);
        EXPECT_EQ(result.failure,
                  up ? std::optional(DetailCode::IPC_SELF_TEST_PIPE_UNAVAILABLE) : std::nullopt);
    }
}

}  // namespace
}  // namespace velnaro
