// The tunnel's own service against the real service control manager (Wine's under Wine):
// registration, update, start of the registered command line, stop with its wait, query and
// removal. The registered executable is a copy of the service beside a "vpn" folder of
// library stand-ins, so the manager really runs it in tunnel-service mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/command_line.hpp"
#include "core/uuid.hpp"
#include "platform/native.hpp"
#include "platform/windows/wide.hpp"
#include "service_manager/tunnel_registration.hpp"
#include "service_manager/tunnel_service_manager.hpp"

// Last: it defines ERROR, which the project's headers use as a name.
#include <windows.h>

namespace velnaro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string utf8(const fs::path& path) {
    return platform::from_wide(path.wstring());
}

// The native system, except that the running executable is the service's copy.
class CopiedExecutable final : public platform::System {
  public:
    CopiedExecutable(platform::System& inner, std::string executable)
        : inner_(inner), executable_(std::move(executable)) {}

    std::optional<std::string> environment_variable(std::string_view name) override {
        return inner_.environment_variable(name);
    }
    platform::OsResult<std::string> executable_path() override { return executable_; }
    platform::OsResult<void> random_bytes(std::span<std::uint8_t> out) override {
        return inner_.random_bytes(out);
    }
    std::uint64_t system_time_100ns() override { return inner_.system_time_100ns(); }
    std::chrono::steady_clock::time_point monotonic_now() override {
        return inner_.monotonic_now();
    }
    void sleep_for(std::chrono::milliseconds duration) override { inner_.sleep_for(duration); }

  private:
    platform::System& inner_;
    std::string executable_;
};

struct StoredRegistration {
    std::string command_line;
    std::string display_name;
    DWORD service_type = 0;
    DWORD start_type = 0;
    DWORD error_control = 0;
    std::vector<std::string> dependencies;
    std::string description;
};

// Read back with the manager's own calls and the registry, independently of the code under
// test. Wine leaves dependencies out of QueryServiceConfigW; both systems keep them in the
// service's key.
std::optional<StoredRegistration> read_registration() {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return std::nullopt;
    SC_HANDLE service =
        ::OpenServiceW(manager, L"WireGuardTunnel$VelnaroTunnel", SERVICE_QUERY_CONFIG);
    std::optional<StoredRegistration> out;
    DWORD needed = 0;
    if (service != nullptr && !::QueryServiceConfigW(service, nullptr, 0, &needed) && needed) {
        std::vector<std::uint64_t> buffer(needed / 8 + 1);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (::QueryServiceConfigW(service, config, needed, &needed)) {
            out = StoredRegistration{platform::from_wide(config->lpBinaryPathName),
                                     platform::from_wide(config->lpDisplayName),
                                     config->dwServiceType,
                                     config->dwStartType,
                                     config->dwErrorControl,
                                     {},
                                     {}};
        }
    }
    if (out) {
        std::vector<std::uint64_t> buffer(1024);
        if (::QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION,
                                   reinterpret_cast<LPBYTE>(buffer.data()), 8192, &needed)) {
            const auto* info = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
            if (info->lpDescription != nullptr)
                out->description = platform::from_wide(info->lpDescription);
        }
        std::vector<wchar_t> list(1024, L'\0');
        DWORD size = static_cast<DWORD>(list.size() * sizeof(wchar_t));
        if (::RegGetValueW(HKEY_LOCAL_MACHINE,
                           L"SYSTEM\\CurrentControlSet\\Services\\WireGuardTunnel$VelnaroTunnel",
                           L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, list.data(),
                           &size) == ERROR_SUCCESS) {
            for (const wchar_t* d = list.data(); *d != L'\0'; d += wcslen(d) + 1)
                out->dependencies.push_back(platform::from_wide(d));
        }
    }
    if (service != nullptr)
        ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return out;
}

// Rewrites the registration behind the code's back, as a stale or tampered one would be.
bool tamper_with_registration() {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return false;
    SC_HANDLE service =
        ::OpenServiceW(manager, L"WireGuardTunnel$VelnaroTunnel", SERVICE_CHANGE_CONFIG);
    const bool changed =
        service != nullptr &&
        ::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                               L"C:\\elsewhere\\old.exe --tunnel-service C:\\old.conf", nullptr,
                               nullptr, L"Nsi\0\0", nullptr, nullptr, L"Old name");
    if (service != nullptr)
        ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return changed;
}

class TunnelServiceManager : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto runner = native.get().system.executable_path();
        ASSERT_TRUE(runner.has_value());
        const fs::path build = fs::path(*platform::to_wide(*runner)).parent_path();
        if (!fs::exists(build / "vpn-service.exe") ||
            !fs::exists(build / "doubles" / "standard" / "tunnel.dll")) {
            GTEST_SKIP() << "vpn-service.exe and the library stand-ins are not built beside "
                            "this test";
        }
        SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
        if (manager == nullptr)
            GTEST_SKIP() << "the service control manager cannot be opened for creating";
        ::CloseServiceHandle(manager);

        std::array<std::uint8_t, 16> random{};
        ASSERT_TRUE(native.get().system.random_bytes(random));
        root = fs::temp_directory_path() /
               ("velnaro-tunnel-service-" + uuid_to_text(make_uuid_v4(random)).substr(0, 8));
        const fs::path bin = root / "bin";
        vpn = bin / "vpn";
        fs::create_directories(vpn);
        fs::copy_file(build / "vpn-service.exe", bin / "vpn-service.exe");
        for (const char* library : {"wireguard.dll", "tunnel.dll"})
            fs::copy_file(build / "doubles" / "standard" / library, vpn / library);
        // A blank in the folder: the quoting must survive the manager's command-line split.
        config_path = put_config(root / "Velnaro Tunnel");
        executable =
            std::make_unique<CopiedExecutable>(native.get().system, utf8(bin / "vpn-service.exe"));
        under_test = std::make_unique<platform::Platform>(
            platform::Platform{native.get().files, *executable, native.get().sealing,
                               native.get().loader, native.get().services});
        // A registration left by an interrupted run would make every step below ambiguous.
        ASSERT_TRUE(remove_tunnel_service(*under_test));
    }

    void TearDown() override {
        if (under_test) {
            EXPECT_TRUE(remove_tunnel_service(*under_test));
        }
        std::error_code ignored;
        // The tunnel process may take a moment to release its copy of the executable.
        for (int attempt = 0; attempt < 50 && fs::exists(root, ignored); ++attempt) {
            fs::remove_all(root, ignored);
            if (fs::exists(root, ignored))
                std::this_thread::sleep_for(100ms);
        }
    }

    static std::string put_config(const fs::path& folder) {
        fs::create_directories(folder);
        std::ofstream(folder / "VelnaroTunnel.conf.dpapi", std::ios::binary) << "sealed";
        return utf8(folder / "VelnaroTunnel.conf.dpapi");
    }

    void behave(const std::string& lines) { std::ofstream(vpn / "behaviour.txt") << lines; }

    std::string expected_command_line(const std::string& path) const {
        return quote_command_line_argument(*executable->executable_path()) + " --tunnel-service " +
               quote_command_line_argument(path);
    }

    // Wine's manager has no service SID type: configure then stops at that step, with the
    // registration and its description already written. Anywhere else the step must pass.
    void expect_configured(const Outcome<void>& configured) {
        if (configured)
            return;
        ASSERT_EQ(configured.error(), DetailCode::TUNNEL_SERVICE_SID_FAILED)
            << to_text(configured.error());
        ASSERT_TRUE(manager_lacks_sid_type())
            << "the SID type was refused by a manager that supports it";
        static bool said = false;
        if (!said)
            std::cout << "[   NOTE   ] this manager lacks the service SID type; configure's SID "
                         "steps are skipped\n";
        said = true;
    }

    static bool manager_lacks_sid_type() {
        SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service =
            manager == nullptr
                ? nullptr
                : ::OpenServiceW(manager, L"WireGuardTunnel$VelnaroTunnel", SERVICE_CHANGE_CONFIG);
        SERVICE_SID_INFO info{SERVICE_SID_TYPE_UNRESTRICTED};
        const bool lacks =
            service != nullptr &&
            !::ChangeServiceConfig2W(service, SERVICE_CONFIG_SERVICE_SID_INFO, &info);
        if (service != nullptr)
            ::CloseServiceHandle(service);
        if (manager != nullptr)
            ::CloseServiceHandle(manager);
        return lacks;
    }

    // Polls until the state is `wanted`; `passing` lists the states allowed on the way.
    ::testing::AssertionResult reaches(ConnectionState wanted,
                                       std::initializer_list<ConnectionState> passing,
                                       std::chrono::seconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (true) {
            const auto state = query_tunnel_service(*under_test);
            if (!state)
                return ::testing::AssertionFailure() << "query failed: " << to_text(state.error());
            if (*state == wanted)
                return ::testing::AssertionSuccess();
            if (std::find(passing.begin(), passing.end(), *state) == passing.end())
                return ::testing::AssertionFailure() << "unexpected " << to_text(*state);
            if (std::chrono::steady_clock::now() >= deadline)
                return ::testing::AssertionFailure() << "still " << to_text(*state);
            std::this_thread::sleep_for(50ms);
        }
    }

    // The Win32 and the service-specific exit code the manager holds for the tunnel service.
    static std::pair<DWORD, DWORD> exit_codes() {
        SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service =
            manager == nullptr
                ? nullptr
                : ::OpenServiceW(manager, L"WireGuardTunnel$VelnaroTunnel", SERVICE_QUERY_STATUS);
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (service != nullptr)
            ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                   reinterpret_cast<LPBYTE>(&status), sizeof status, &needed);
        if (service != nullptr)
            ::CloseServiceHandle(service);
        if (manager != nullptr)
            ::CloseServiceHandle(manager);
        return {status.dwWin32ExitCode, status.dwServiceSpecificExitCode};
    }

    std::u16string path_the_tunnel_got() const {
        std::ifstream in(vpn / "tunnel_path.bin", std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
        std::u16string path(bytes.size() / 2, u'\0');
        std::memcpy(path.data(), bytes.data(), path.size() * 2);
        return path;
    }

    platform::NativePlatform native;
    std::unique_ptr<CopiedExecutable> executable;
    std::unique_ptr<platform::Platform> under_test;
    fs::path root, vpn;
    std::string config_path;
};

TEST_F(TunnelServiceManager, ConfigureCreatesThenRewritesTheWholeRegistrationWithoutStarting) {
    const std::string first = put_config(root / "first");
    expect_configured(configure_tunnel_service(*under_test, first));
    auto stored = read_registration();
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->command_line, expected_command_line(first));
    EXPECT_EQ(stored->display_name, kTunnelServiceDisplayName);
    EXPECT_EQ(stored->service_type, DWORD{SERVICE_WIN32_OWN_PROCESS});
    EXPECT_EQ(stored->start_type, DWORD{SERVICE_AUTO_START});
    EXPECT_EQ(stored->error_control, DWORD{SERVICE_ERROR_NORMAL});
    EXPECT_EQ(stored->dependencies, (std::vector<std::string>{"Nsi", "TcpIp"}));
    EXPECT_EQ(stored->description, kTunnelServiceDescription);
    EXPECT_EQ(query_tunnel_service(*under_test), ConnectionState::DISCONNECTED);

    // The update path: the existing registration is rewritten, which also repairs it.
    ASSERT_TRUE(tamper_with_registration());
    expect_configured(configure_tunnel_service(*under_test, config_path));
    stored = read_registration();
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->command_line, expected_command_line(config_path));
    EXPECT_TRUE(stored->command_line.ends_with(" \"" + config_path + "\""))
        << "the path with a blank is quoted";
    EXPECT_EQ(stored->display_name, kTunnelServiceDisplayName);
    EXPECT_EQ(stored->start_type, DWORD{SERVICE_AUTO_START});
    EXPECT_EQ(stored->dependencies, (std::vector<std::string>{"Nsi", "TcpIp"}));
    EXPECT_EQ(query_tunnel_service(*under_test), ConnectionState::DISCONNECTED);
}

TEST_F(TunnelServiceManager, ConfigureLeavesTheServiceWithTheUnrestrictedSidType) {
    const auto configured = configure_tunnel_service(*under_test, config_path);
    if (!configured && configured.error() == DetailCode::TUNNEL_SERVICE_SID_FAILED &&
        manager_lacks_sid_type()) {
        GTEST_SKIP() << "this manager lacks the service SID type (Wine does)";
    }
    ASSERT_TRUE(configured) << to_text(configured.error());
    auto& services = under_test->services;
    auto manager = services.open_manager(platform::access::kManagerConnect);
    ASSERT_TRUE(manager);
    auto service = services.open_service(manager->get(), kTunnelServiceName,
                                         platform::access::kServiceQueryConfig);
    ASSERT_TRUE(service);
    EXPECT_EQ(services.query_service_sid_type(service->get()),
              platform::kServiceSidTypeUnrestricted);
}

TEST_F(TunnelServiceManager, StartRunsTheRegisteredCommandLineAndStopWaitsForTheEnd) {
    behave("tunnel_service=dispatch\n");
    expect_configured(configure_tunnel_service(*under_test, config_path));
    const auto started = start_tunnel_service(*under_test);
    ASSERT_TRUE(started) << to_text(started.error());
    ASSERT_TRUE(reaches(ConnectionState::CONNECTED,
                        {ConnectionState::DISCONNECTED, ConnectionState::CONNECTING}));
    // The manager split the registered command line back into the very path.
    EXPECT_EQ(
        path_the_tunnel_got(),
        std::u16string(reinterpret_cast<const char16_t*>(platform::to_wide(config_path)->c_str())));

    EXPECT_TRUE(start_tunnel_service(*under_test)) << "a running service is left as it is";
    const auto before = std::chrono::steady_clock::now();
    const auto stopped = stop_tunnel_service(*under_test);
    ASSERT_TRUE(stopped) << to_text(stopped.error());
    EXPECT_LT(std::chrono::steady_clock::now() - before, 15s);
    EXPECT_EQ(query_tunnel_service(*under_test), ConnectionState::DISCONNECTED);
    EXPECT_TRUE(stop_tunnel_service(*under_test)) << "stopping a stopped service";

    // Started again and removed while running: remove stops it first.
    ASSERT_TRUE(start_tunnel_service(*under_test));
    ASSERT_TRUE(reaches(ConnectionState::CONNECTED,
                        {ConnectionState::DISCONNECTED, ConnectionState::CONNECTING}));
    ASSERT_TRUE(remove_tunnel_service(*under_test));
    EXPECT_FALSE(read_registration().has_value());
}

// A user who disconnects while the tunnel still connects: the stop is refused until the
// start is done, and still succeeds within its budget.
TEST_F(TunnelServiceManager, StopWhileTheTunnelStillStartsWaitsForTheStartThenStops) {
    behave("tunnel_service=dispatch\nstart_pending_ms=2500\n");
    expect_configured(configure_tunnel_service(*under_test, config_path));
    ASSERT_TRUE(start_tunnel_service(*under_test));
    ASSERT_TRUE(reaches(ConnectionState::CONNECTING, {ConnectionState::DISCONNECTED}));
    const auto before = std::chrono::steady_clock::now();
    const auto stopped = stop_tunnel_service(*under_test);
    ASSERT_TRUE(stopped) << to_text(stopped.error());
    EXPECT_LT(std::chrono::steady_clock::now() - before, 15s);
    EXPECT_EQ(query_tunnel_service(*under_test), ConnectionState::DISCONNECTED);
}

TEST_F(TunnelServiceManager, ATunnelProcessThatEndsAtOnceLeavesTheServiceStopped) {
    fs::remove_all(vpn);  // no libraries: the tunnel-service mode ends with status 1
    expect_configured(configure_tunnel_service(*under_test, config_path));
    // The manager may refuse the start once the process has gone without ever reporting.
    const auto started = start_tunnel_service(*under_test);
    if (!started) {
        EXPECT_EQ(started.error(), DetailCode::TUNNEL_SERVICE_START_FAILED);
    }
    // A tunnel that ended with a failure reads as that failure, not as a plain disconnection,
    // until a STOP dismisses it.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    Outcome<ConnectionState> state = query_tunnel_service(*under_test);
    while (state && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        state = query_tunnel_service(*under_test);
    }
    ASSERT_FALSE(state) << "still " << to_text(*state);
    EXPECT_EQ(state.error(), DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
    EXPECT_EQ(query_tunnel_service(*under_test, TunnelFailure::dismissed),
              ConnectionState::DISCONNECTED);
    // The process reported why it gave up before any library could take over.
    EXPECT_EQ(exit_codes(),
              std::make_pair(DWORD{ERROR_SERVICE_SPECIFIC_ERROR},
                             DWORD{stable_number(DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE)}));
    EXPECT_TRUE(stop_tunnel_service(*under_test));
}

TEST_F(TunnelServiceManager, AnAbsentServiceIsStoppedQueriedAndRemovedWithoutError) {
    EXPECT_EQ(query_tunnel_service(*under_test), ConnectionState::DISCONNECTED);
    EXPECT_TRUE(stop_tunnel_service(*under_test));
    EXPECT_TRUE(remove_tunnel_service(*under_test));
    const auto started = start_tunnel_service(*under_test);
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error(), DetailCode::TUNNEL_SERVICE_NOT_INSTALLED);
}

TEST_F(TunnelServiceManager, RefusedPathsNeverReachTheManager) {
    const std::string folder = utf8(root / "Velnaro Tunnel");
    for (const std::string& path :
         {folder + "\\VelnaroTunnel.conf", folder + "\\velnarotunnel.conf.dpapi",
          std::string("Velnaro Tunnel\\VelnaroTunnel.conf.dpapi"),
          std::string("\\VelnaroTunnel.conf.dpapi")}) {
        const auto configured = configure_tunnel_service(*under_test, path);
        ASSERT_FALSE(configured) << path;
        EXPECT_EQ(configured.error(), DetailCode::TUNNEL_CONFIG_PATH_INVALID) << path;
    }
    EXPECT_FALSE(read_registration().has_value());
}

}  // namespace
}  // namespace velnaro
