#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake/fake_platform.hpp"
#include "ipc/frames.hpp"
#include "vpnctl/requests.hpp"
#include "vpnctl/session.hpp"

namespace velnaro {
namespace {

constexpr std::string_view kPipe = "vpnctl-test-pipe";
const vpnctl::Target kTarget{kPipe, std::chrono::milliseconds(500)};

std::optional<std::string> read_test_file(const std::string& path) {
    static const std::map<std::string, std::string> files = {
        {"config.json", R"({"serverEndpoint":"vpn.example:51820","mtu":1420})"},
        {"broken.json", R"({"serverEndpoint":)"},
        {"list.json", "[1,2]"},
    };
    const auto found = files.find(path);
    if (found == files.end())
        return std::nullopt;
    return found->second;
}

// A server holding the pipe that takes one request frame and, unless `reply` is empty,
// answers it with `reply`; it keeps what it was sent.
class OneShotServer {
  public:
    OneShotServer(fake::FakePlatform& machine, std::string reply)
        : machine_(machine),
          platform_(machine.platform),
          server_(*machine.pipes.create_server(kPipe)) {
        thread_ = std::thread([this, reply = std::move(reply)] { serve(reply); });
    }
    ~OneShotServer() {
        if (thread_.joinable())
            thread_.join();
        platform_.pipes.close(server_);
    }
    // Joins first, so the request is complete when it is looked at.
    std::optional<std::string> request() {
        if (thread_.joinable())
            thread_.join();
        return request_;
    }

  private:
    void serve(const std::string& reply) {
        const auto connection = machine_.pipes.accept(server_, std::chrono::seconds(5));
        if (!connection)
            return;
        const auto deadline = platform_.system.monotonic_now() + std::chrono::hours(1);
        std::array<std::uint8_t, kFrameHeaderBytes> header{};
        if (read_exact(platform_, *connection, header, deadline) == TransferEnd::complete) {
            std::vector<std::uint8_t> body(frame_body_size(header));
            if (read_exact(platform_, *connection, body, deadline) == TransferEnd::complete)
                request_ = std::string(body.begin(), body.end());
        }
        if (!reply.empty())
            write_all(platform_, *connection, fake::frame_of(reply), deadline);
        platform_.pipes.close(*connection);
    }

    fake::FakePlatform& machine_;
    platform::Platform& platform_;
    platform::PipeHandle server_;
    std::optional<std::string> request_;
    std::thread thread_;
};

vpnctl::Outcome run_words(fake::FakePlatform& machine, std::vector<std::string> words) {
    return vpnctl::run(machine.platform, words, read_test_file, kTarget);
}

TEST(VpnctlRequests, EachCommandBecomesItsRequestAndAnythingElseIsAUsageError) {
    struct Case {
        std::vector<std::string> words;
        std::optional<std::string> request;
    };
    const std::vector<Case> cases = {
        {{"version"}, R"({"command":"GET_VERSION"})"},
        {{"status"}, R"({"command":"GET_STATUS"})"},
        {{"identity"}, R"({"command":"ENSURE_IDENTITY"})"},
        {{"start"}, R"({"command":"START"})"},
        {{"stop"}, R"({"command":"STOP"})"},
        {{"repair"}, R"({"command":"REPAIR"})"},
        {{"rotate", "prepare"}, R"({"command":"PREPARE_IDENTITY_ROTATION"})"},
        {{"rotate", "commit"}, R"({"command":"COMMIT_IDENTITY_ROTATION"})"},
        {{"rotate", "abort"}, R"({"command":"ABORT_IDENTITY_ROTATION"})"},
        // The body goes out as given: the service is the one to judge it.
        {{"raw", R"({"command":"GET_VERSION","x":1})"}, R"({"command":"GET_VERSION","x":1})"},
        {{"raw", "not json"}, "not json"},
        // The file's members keep their order inside the payload.
        {{"apply", "config.json"},
         R"({"command":"APPLY_CONFIG","payload":{"serverEndpoint":"vpn.example:51820","mtu":1420}})"},
        {{"apply", "list.json"}, R"({"command":"APPLY_CONFIG","payload":[1,2]})"},
        {{}, std::nullopt},
        {{""}, std::nullopt},
        {{"VERSION"}, std::nullopt},
        {{"help"}, std::nullopt},
        {{"status", "now"}, std::nullopt},
        {{"version", "--verbose"}, std::nullopt},
        {{"rotate"}, std::nullopt},
        {{"rotate", "later"}, std::nullopt},
        {{"rotate", "commit", "now"}, std::nullopt},
        {{"raw"}, std::nullopt},
        {{"raw", "{}", "{}"}, std::nullopt},
        {{"apply"}, std::nullopt},
        {{"apply", "missing.json"}, std::nullopt},
        {{"apply", "broken.json"}, std::nullopt},
        {{"apply", "config.json", "config.json"}, std::nullopt},
        {{"prepare"}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.words));
        EXPECT_EQ(vpnctl::request_for(c.words, read_test_file), c.request);
    }
}

TEST(Vpnctl, AUsageErrorPrintsTheUsageAndNeverOpensThePipe) {
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{}, {"bogus"}, {"apply", "missing.json"}, {"rotate"}}) {
        SCOPED_TRACE(testing::PrintToString(words));
        fake::FakePlatform machine;
        machine.pipes.create_server(kPipe);
        const auto outcome = run_words(machine, words);
        EXPECT_EQ(outcome.exit_status, 2);
        EXPECT_EQ(outcome.standard_output, "");
        EXPECT_EQ(outcome.standard_error, vpnctl::kUsage);
        EXPECT_EQ(machine.pipes.open_endpoints(), 1) << "only the server's own instance";
    }
}

TEST(Vpnctl, ExitStatusFollowsTheTypeOfTheAnswer) {
    struct Case {
        const char* reply;
        int exit_status;
    };
    const std::vector<Case> cases = {
        {R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})", 0},
        {R"({"type":"STATUS","payload":{"state":"UNAVAILABLE"}})", 0},
        {R"({"type":"ERROR","payload":{"detailCode":"IPC_REQUEST_INVALID"}})", 1},
        {R"({"payload":{}})", 1},
        {R"({"type":7})", 1},
        {R"(["type","VERSION"])", 1},
        {"VERSION", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        fake::FakePlatform machine;
        OneShotServer server(machine, c.reply);
        const auto outcome = run_words(machine, {"version"});
        EXPECT_EQ(outcome.exit_status, c.exit_status);
        EXPECT_EQ(outcome.standard_output, std::string(c.reply) + "\n");
        EXPECT_EQ(outcome.standard_error, "");
        EXPECT_EQ(server.request(), R"({"command":"GET_VERSION"})");
    }
}

TEST(Vpnctl, SendsTheConfigurationOnlyToThePrivilegedService) {
    fake::FakePlatform machine;
    OneShotServer server(machine, R"({"type":"CONFIG_APPLIED","payload":{}})");
    const auto outcome = run_words(machine, {"apply", "config.json"});
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(machine.pipes.server_checks(), 1);
    EXPECT_EQ(
        server.request(),
        R"({"command":"APPLY_CONFIG","payload":{"serverEndpoint":"vpn.example:51820","mtu":1420}})");
    EXPECT_EQ(machine.pipes.open_endpoints(), 1) << "the client's connection is closed";
}

TEST(Vpnctl, RefusesAServerThatIsNotTheServiceBeforeSendingAnything) {
    const std::string account =
#ifdef _WIN32
        "the local system account";
#else
        "root";
#endif
    struct Case {
        const char* name;
        platform::ServerCheck check;
        bool check_fails;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"another account", platform::ServerCheck::other_account, false,
         "it does not run as " + account},
        {"unknown account", platform::ServerCheck::unverifiable, false,
         "the system cannot tell which account runs it"},
        {"check fails", platform::ServerCheck::privileged_service, true,
         "the system cannot tell which account runs it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform machine;
        machine.pipes.server_check = c.check;
        if (c.check_fails)
            machine.faults.fail_always("verify_server");
        OneShotServer server(machine, R"({"type":"VERSION","payload":{}})");
        const auto outcome = run_words(machine, {"apply", "config.json"});
        EXPECT_EQ(outcome.exit_status, 3);
        EXPECT_EQ(outcome.standard_output, "") << "a forged answer is never shown";
        EXPECT_EQ(outcome.standard_error, "vpnctl: refusing the server on vpnctl-test-pipe: " +
                                              c.reason + "; nothing was sent\n");
        EXPECT_EQ(server.request(), std::nullopt) << "the configuration must not leak";
        EXPECT_EQ(machine.pipes.open_endpoints(), 1) << "the client's connection is closed";
    }
}

TEST(Vpnctl, ReportsAMissingOrSilentServiceWithItsCode) {
    {
        fake::FakePlatform machine;
        const auto outcome = run_words(machine, {"status"});
        EXPECT_EQ(outcome.exit_status, 1);
        EXPECT_EQ(outcome.standard_output, "");
        EXPECT_EQ(outcome.standard_error,
                  "vpnctl: no answer from the service on vpnctl-test-pipe "
                  "(IPC_SELF_TEST_PIPE_UNAVAILABLE)\n");
    }
    {
        fake::FakePlatform machine;
        OneShotServer server(machine, "");
        const auto outcome = run_words(machine, {"status"});
        EXPECT_EQ(outcome.exit_status, 1);
        EXPECT_EQ(outcome.standard_error,
                  "vpnctl: no answer from the service on vpnctl-test-pipe (IPC_READ_FAILED)\n");
        EXPECT_EQ(server.request(), R"({"command":"GET_STATUS"})");
    }
}

}  // namespace
}  // namespace velnaro
