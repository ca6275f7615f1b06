#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "core/command_line.hpp"
#include "platform/posix/local_service_state.hpp"
#include "platform/posix/local_services_db.hpp"
#include "platform/posix/service_manager.hpp"

// When the manager starts this binary with "--act-as-local-service <name>", it plays a
// well-behaved service before gtest ever runs: it reports RUNNING, waits for SIGTERM,
// reports STOPPED and ends.
__attribute__((constructor)) static void act_as_local_service(int argc, char** argv, char**) {
    if (argc < 3 || std::strcmp(argv[1], "--act-as-local-service") != 0)
        return;
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    sigprocmask(SIG_BLOCK, &terminate, nullptr);
    namespace st = velnaro::platform::service_state;
    if (!velnaro::platform::report_local_service_state(argv[2], st::kRunning))
        _exit(3);
    int received = 0;
    sigwait(&terminate, &received);
    velnaro::platform::report_local_service_state(argv[2], st::kStopped);
    _exit(0);
}

namespace velnaro::platform {
namespace {

namespace st = service_state;
using namespace local_services;
using std::chrono::milliseconds;

TEST(LocalServiceNames, KeysAreSafeFileNamesAndNamesAreCheckedFirst) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"WireGuardTunnel$VelnaroTunnel", "wireguardtunnel%24velnarotunnel"},
        {"VelnaroVpnService", "velnarovpnservice"},
        {"a.b", "a%2Eb"},  // no dots: never "." or ".." and never a clash with suffixes
        {"..", "%2E%2E"},
        {"x%41", "x%2541"},  // the escape character is escaped itself
        {"", std::nullopt},
        {"a/b", std::nullopt},
        {"a\\b", std::nullopt},
        {"a\nb", std::nullopt},
        {std::string("a\0b", 3), std::nullopt},
        {"\xff", std::nullopt},
        {std::string(81, 'a'), std::nullopt},
    };
    for (const auto& [name, key] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(service_key(name), key);
    }
    EXPECT_EQ(service_key("VELNARO"), service_key("velnaro"));  // case-insensitive, as on Windows
}

TEST(LocalServiceFiles, RegistrationRoundTripsAwkwardTexts) {
    StoredRegistration stored;
    stored.registration.name = "WireGuardTunnel$VelnaroTunnel";
    stored.registration.display_name = "line\nbreak \\ back=slash\r";
    stored.registration.command_line = "\"/opt/a b/x\" --tunnel-service /v=1";
    stored.registration.dependencies = {"Nsi", "TcpIp"};
    stored.description = "";
    stored.sid_type = 1;
    stored.delete_pending = true;
    auto decoded = decode_registration(encode_registration(stored));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->registration.display_name, stored.registration.display_name);
    EXPECT_EQ(decoded->registration.command_line, stored.registration.command_line);
    EXPECT_EQ(decoded->registration.dependencies, stored.registration.dependencies);
    EXPECT_EQ(decoded->sid_type, 1u);
    EXPECT_TRUE(decoded->delete_pending);
}

TEST(LocalServiceFiles, DamagedRegistrationsAreRefused) {
    StoredRegistration stored;
    stored.registration.name = "x";
    stored.registration.command_line = "/bin/true";
    const std::string good = encode_registration(stored);
    ASSERT_TRUE(decode_registration(good).has_value());
    const std::string damaged[] = {
        good.substr(0, good.size() - 1),        // torn last line
        good.substr(good.find('\n') + 1),       // no header
        good + "colour=blue\n",                 // unknown key
        good + "name=y\n",                      // repeated key
        good.substr(0, good.find("sid_type")),  // missing keys
        good + "start_type=-1\n",               // repeated and not a number
        std::string("velnaro-service-registration 2\n") + good.substr(good.find('\n') + 1),
        good.substr(0, good.find("command_line=")) + "command_line=bad\\x\n" +
            good.substr(good.find("dependency") == std::string::npos ? good.find("sid_type")
                                                                     : good.find("dependency")),
    };
    for (const auto& text : damaged) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(decode_registration(text).has_value());
    }
}

TEST(LocalServiceFiles, StartTimeIsFieldTwentyTwoEvenWithAwkwardCommandNames) {
    const std::string tail = " S 1 1 1 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 987654 1000 10";
    const std::pair<std::string, std::optional<std::uint64_t>> cases[] = {
        {"42 (sleep)" + tail, 987654},
        {"42 (a) (b c) d)" + tail, 987654},
        {"42 (sleep) S 1 1", std::nullopt},
        {"42 sleep" + tail, std::nullopt},
        {"42 (x) S 1 1 1 0 -1 4 1 0 0 0 1 2 0 0 20 0 1 0 98x7 1", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse_start_time(text.data(), text.size()), expected);
    }
}

TEST(LocalServiceFiles, OnlyTheRecordedProcessCountsAsAlive) {
    auto own = process_start_time(::getpid());
    ASSERT_TRUE(own.has_value());
    RuntimeState state{::getpid(), *own, current_boot_id(), st::kRunning, false};
    EXPECT_EQ(effective_state(state), st::kRunning);
    state.stop_requested = true;
    EXPECT_EQ(effective_state(state), st::kStopPending);

    RuntimeState reused = state;
    reused.start_time = *own + 1;  // same pid, another process
    EXPECT_EQ(effective_state(reused), st::kStopped);
    RuntimeState other_boot = state;
    other_boot.boot_id = "00000000-0000-0000-0000-000000000000";
    EXPECT_EQ(effective_state(other_boot), st::kStopped);
    EXPECT_EQ(effective_state(std::nullopt), st::kStopped);

    auto decoded = decode_runtime_state(encode_runtime_state(state));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->start_time, *own);
    EXPECT_TRUE(decoded->stop_requested);
}

// Real registrations, processes and signals, in a private program-data folder.
class LocalServiceManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the local service manager needs root to register";
        char pattern[] = "/tmp/velnaro-services-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        if (const char* old = std::getenv("PROGRAMDATA"))
            saved_root = old;
        ::setenv("PROGRAMDATA", root.c_str(), 1);
        database = database_directory(root);
        auto opened =
            services.open_manager(access::kManagerConnect | access::kManagerCreateService);
        ASSERT_TRUE(opened.has_value());
        manager = *opened;
    }
    void TearDown() override {
        if (root.empty())
            return;
        for (auto handle : opened_services) {
            services.stop_service(handle);
            services.close_service_handle(handle);
        }
        services.close_service_handle(manager);
        std::filesystem::remove_all(root);
        if (saved_root) {
            ::setenv("PROGRAMDATA", saved_root->c_str(), 1);
        } else {
            ::unsetenv("PROGRAMDATA");
        }
    }

    ScHandle create(const std::string& name, const std::string& command_line) {
        ServiceRegistration registration;
        registration.name = name;
        registration.display_name = "Test " + name;
        registration.command_line = command_line;
        registration.dependencies = {"Nsi", "TcpIp"};
        auto handle = services.create_service(manager, registration, kAll);
        EXPECT_TRUE(handle.has_value());
        if (handle)
            opened_services.push_back(*handle);
        return handle.value_or(ScHandle{});
    }
    std::string helper_command(const std::string& name) {
        char self[4096] = {};
        EXPECT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
        return quote_command_line_argument(self) + " --act-as-local-service " + name;
    }
    // Polls until the service reaches `wanted`; the manager's view, not a sleep, decides.
    bool reaches(ScHandle handle, std::uint32_t wanted) {
        for (int i = 0; i < 100; ++i) {
            if (services.query_service_state(handle) == wanted)
                return true;
            std::this_thread::sleep_for(milliseconds(50));
        }
        return false;
    }
    mode_t mode_of(const std::string& path) {
        struct stat info {};
        EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
        return info.st_mode & 07777;
    }

    static constexpr std::uint32_t kAll = 0xF01FF;
    LocalServiceManager services;
    std::string root;
    std::optional<std::string> saved_root;
    std::string database;
    ScHandle manager{};
    std::vector<ScHandle> opened_services;
};

TEST_F(LocalServiceManagerTest, ServiceThatReportsRunsAndStopsOnRequest) {
    const std::string name = "Velnaro$Reporter";
    ScHandle handle = create(name, helper_command(name));
    EXPECT_EQ(mode_of(database), 0700u);
    EXPECT_EQ(mode_of(registration_path(database, *service_key(name))), 0600u);
    EXPECT_EQ(services.query_service_state(handle), st::kStopped);
    EXPECT_FALSE(services.stop_service(handle));  // not active

    ASSERT_TRUE(services.start_service(handle));
    auto starting = services.query_service_state(handle);
    EXPECT_TRUE(starting == st::kStartPending || starting == st::kRunning);
    ASSERT_TRUE(reaches(handle, st::kRunning));
    EXPECT_FALSE(services.start_service(handle));  // already running

    ASSERT_TRUE(services.stop_service(handle));
    ASSERT_TRUE(reaches(handle, st::kStopped));
    EXPECT_FALSE(services.stop_service(handle));
}

TEST_F(LocalServiceManagerTest, SilentServiceStaysStartPendingAndStillStops) {
    ScHandle handle = create("Sleeper", "/bin/sleep 1000");
    ASSERT_TRUE(services.start_service(handle));
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(services.query_service_state(handle), st::kStartPending);
    // Another process cannot claim the service while the started one lives.
    EXPECT_FALSE(report_local_service_state("Sleeper", st::kRunning));

    ASSERT_TRUE(services.stop_service(handle));
    auto stopping = services.query_service_state(handle);
    EXPECT_TRUE(stopping == st::kStopPending || stopping == st::kStopped);
    EXPECT_TRUE(reaches(handle, st::kStopped));
}

TEST_F(LocalServiceManagerTest, ReusedPidIsNeitherRunningNorSignalled) {
    const std::string name = "Reused";
    ScHandle handle = create(name, "/bin/sleep 1000");
    // A state that names this test process, but with another start time: the pid was reused.
    auto own = process_start_time(::getpid());
    ASSERT_TRUE(own.has_value());
    RuntimeState stale{::getpid(), *own + 1, current_boot_id(), st::kRunning, false};
    ASSERT_TRUE(write_file_atomically(state_path(database, *service_key(name)),
                                      encode_runtime_state(stale)));
    EXPECT_EQ(services.query_service_state(handle), st::kStopped);
    EXPECT_FALSE(services.stop_service(handle));  // and this process is still here to tell
}

TEST_F(LocalServiceManagerTest, DeleteWaitsForTheServiceToStop) {
    const std::string name = "Deleted";
    ScHandle handle = create(name, "/bin/sleep 1000");
    const std::string file = registration_path(database, *service_key(name));
    ASSERT_TRUE(services.start_service(handle));
    ASSERT_TRUE(services.delete_service(handle));
    EXPECT_FALSE(services.delete_service(handle));  // already marked
    EXPECT_FALSE(services.open_service(manager, name, access::kServiceQueryStatus).has_value());
    EXPECT_FALSE(services.start_service(handle));
    EXPECT_TRUE(std::filesystem::exists(file));

    ASSERT_TRUE(services.stop_service(handle));
    ASSERT_TRUE(reaches(handle, st::kStopped) || !std::filesystem::exists(file));
    services.query_service_state(handle);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_TRUE(services
                    .create_service(manager,
                                    ServiceRegistration{name, "again", 0x10, 3, 1, "/bin/true", {}},
                                    kAll)
                    .has_value());
}

TEST_F(LocalServiceManagerTest, StoppedServiceIsDeletedAtOnce) {
    ScHandle handle = create("Gone", "/bin/true");
    ASSERT_TRUE(services.delete_service(handle));
    EXPECT_FALSE(std::filesystem::exists(registration_path(database, *service_key("Gone"))));
    EXPECT_FALSE(services.open_service(manager, "gone", access::kServiceQueryStatus).has_value());
}

TEST_F(LocalServiceManagerTest, HandlesOnlyAllowWhatTheyWereOpenedFor) {
    create("Guarded", "/bin/sleep 1000");
    auto query_only = services.open_service(manager, "GUARDED", access::kServiceQueryStatus);
    ASSERT_TRUE(query_only.has_value());
    EXPECT_EQ(services.query_service_state(*query_only), st::kStopped);
    EXPECT_FALSE(services.start_service(*query_only));
    EXPECT_FALSE(services.delete_service(*query_only));
    EXPECT_FALSE(services.query_service_sid_type(*query_only).has_value());
    EXPECT_FALSE(services.set_service_description(*query_only, "x"));
    services.close_service_handle(*query_only);

    auto connect_only = services.open_manager(access::kManagerConnect);
    ASSERT_TRUE(connect_only.has_value());
    EXPECT_FALSE(services.create_service(
        *connect_only, ServiceRegistration{"Other", "", 0x10, 3, 1, "/bin/true", {}}, kAll));
    EXPECT_FALSE(services.create_service(*connect_only, ServiceRegistration{}, kAll));
    services.close_service_handle(*connect_only);
}

TEST_F(LocalServiceManagerTest, RegistrationIsRewrittenKeepingItsName) {
    ScHandle handle = create("Config", "/bin/true");
    ServiceRegistration changed{"Renamed", "New display", 0x10, 2, 1, "/bin/sleep 5", {"TcpIp"}};
    ASSERT_TRUE(services.change_service_config(handle, changed));
    ASSERT_TRUE(services.set_service_description(handle, "Gere la connexion."));
    ASSERT_TRUE(services.set_service_sid_type(handle, kServiceSidTypeUnrestricted));
    EXPECT_FALSE(services.set_service_sid_type(handle, 7));
    EXPECT_EQ(services.query_service_sid_type(handle), kServiceSidTypeUnrestricted);

    auto stored = load_registration(database, *service_key("Config"));
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->registration.name, "Config");
    EXPECT_EQ(stored->registration.command_line, "/bin/sleep 5");
    EXPECT_EQ(stored->registration.dependencies, std::vector<std::string>{"TcpIp"});
    EXPECT_EQ(stored->description, "Gere la connexion.");
}

TEST_F(LocalServiceManagerTest, ProgramThatCannotBeExecutedDoesNotStart) {
    for (const std::string& command : {std::string("/nonexistent/program --x"),
                                       std::string("relative/program"), std::string("/")}) {
        SCOPED_TRACE(command);
        ScHandle handle = create("Broken", command);
        EXPECT_FALSE(services.start_service(handle));
        EXPECT_EQ(services.query_service_state(handle), st::kStopped);
        ASSERT_TRUE(services.delete_service(handle));
    }
}

TEST_F(LocalServiceManagerTest, MissingDatabaseMeansNoServicesAndAnOpenDatabaseIsRefused) {
    auto reader = services.open_manager(access::kManagerConnect);
    ASSERT_TRUE(reader.has_value());
    // Absent, not refused: an uninstall reports NOT_INSTALLED only for this answer.
    EXPECT_TRUE(services.open_service(*reader, "Anything", access::kServiceQueryStatus) ==
                std::unexpected(OpenServiceFailure::missing));
    services.close_service_handle(*reader);

    create("Made", "/bin/true");
    ASSERT_EQ(::chmod(database.c_str(), 0777), 0);
    EXPECT_FALSE(services.open_manager(access::kManagerConnect).has_value());
    ASSERT_EQ(::chmod(database.c_str(), 0700), 0);
    auto again = services.open_manager(access::kManagerConnect);
    ASSERT_TRUE(again.has_value());
    services.close_service_handle(*again);
}

}  // namespace
}  // namespace velnaro::platform
