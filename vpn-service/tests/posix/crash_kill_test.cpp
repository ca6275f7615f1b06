// Kills a process with SIGKILL at random moments while it creates, rotates and stores in a
// real data directory, then checks what it left with fresh code. The writer is this test
// binary itself, started again with a filter that selects the writer below.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/uuid.hpp"
#include "identity/identity_file.hpp"
#include "identity/identity_lifecycle.hpp"
#include "platform/paths.hpp"
#include "platform/posix/file_system.hpp"
#include "platform/posix/loader.hpp"
#include "platform/posix/sealing.hpp"
#include "platform/posix/system.hpp"
#include "platform/posix/systemd/systemd_service_control.hpp"
#include "posix/scratch_folder.hpp"
#include "tunnel_config/config_file.hpp"
#include "wireguard/components.hpp"
#include "wireguard/keys.hpp"

namespace velnaro {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDirectoryVariable = "VELNARO_CRASH_DIRECTORY";
constexpr int kKills = 300;
constexpr auto kTimeBudget = std::chrono::seconds(50);

// The real platform with a sealing key of the test's own, kept beside the data directory.
struct RealMachine {
    explicit RealMachine(const std::string& root)
        : sealing(platform::SealingKeyLocation{join_path(root, "keys"),
                                               {join_path(root, "machine-id")}}) {}

    platform::PosixFileSystem files;
    platform::PosixSystem system;
    platform::PosixSealing sealing;
    platform::PosixLoader loader;
    platform::SystemdServiceControl services;
    platform::Platform platform{files, system, sealing, loader, services};
    wireguard::ComponentCell cell;
    Runtime runtime{platform, cell};
};

std::string data_directory(const std::string& root) {
    return join_path(root, "vpn");
}

TunnelConfig config_for(int round) {
    TunnelConfig config;
    config.config_version = 1;
    config.address = "10.250.10.21/32";
    config.gateway_public_key = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    config.endpoint_host = "gw" + std::to_string(round) + ".example.net";
    config.endpoint_port = 51820;
    config.allowed_ips = {"10.250.0.0/16"};
    config.persistent_keepalive = 25;
    return config;
}

// The writer: every write sequence of the data directory, over and over, until killed.
TEST(CrashKillWriter, RunsUntilKilled) {
    const char* root = std::getenv(kDirectoryVariable);
    if (root == nullptr)
        GTEST_SKIP() << "started only by CrashKill.DataDirectorySurvivesSigkill";
    RealMachine machine(root);
    const std::string directory = data_directory(root);
    for (int round = 0;; ++round) {
        (void)ensure_identity(machine.runtime, directory);
        (void)prepare_rotation(machine.runtime, directory);
        (void)commit_rotation(machine.runtime, directory);
        (void)store_tunnel_config(machine.runtime, directory, config_for(round));
    }
}

bool is_known_name(const std::string& name) {
    auto uuid_between = [&](std::string_view prefix, std::string_view suffix) {
        return name.size() == prefix.size() + 36 + suffix.size() && name.starts_with(prefix) &&
               name.ends_with(suffix) && parse_uuid_text(name.substr(prefix.size(), 36));
    };
    return name == kIdentityFileName || name == kPendingIdentityFileName ||
           name == kMetadataFileName || name == kTunnelConfigFileName ||
           uuid_between("metadata.tmp-", "") || uuid_between("identity.tmp-", "") ||
           uuid_between("identity.pending.tmp-", "") ||
           uuid_between(".VelnaroTunnel.conf.dpapi.", ".tmp");
}

// What a killed writer must leave: only documented names, every secret file whole, and a
// directory on which every operation works again.
// Returns whether the writer had got as far as an identity file.
bool check_after_kill(const std::string& root, int kill) {
    SCOPED_TRACE("after kill " + std::to_string(kill));
    RealMachine machine(root);
    const std::string directory = data_directory(root);
    if (!fs::exists(directory))
        return false;  // killed before the directory was made
    const bool reached = fs::exists(join_path(directory, kIdentityFileName));
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(is_known_name(name)) << "stray file " << name;
    }
    for (std::string_view name : {kIdentityFileName, kPendingIdentityFileName}) {
        const std::string path = join_path(directory, name);
        if (!fs::exists(path))
            continue;
        const auto identity = read_identity_file(machine.platform, path);
        EXPECT_TRUE(identity) << name << ": " << to_text(identity.error());
    }
    const std::string config = join_path(directory, kTunnelConfigFileName);
    if (fs::exists(config)) {
        const auto text = read_tunnel_config_text(machine.platform, config);
        EXPECT_TRUE(text) << to_text(text.error());
        if (text) {
            EXPECT_TRUE(check_tunnel_config_text(
                std::string_view(reinterpret_cast<const char*>(text->data()), text->size())));
        }
    }

    const auto ensured = ensure_identity(machine.runtime, directory);
    EXPECT_TRUE(ensured) << to_text(ensured.error());
    const auto prepared = prepare_rotation(machine.runtime, directory);
    EXPECT_TRUE(prepared) << to_text(prepared.error());
    if (ensured && prepared) {
        EXPECT_EQ(prepared->key_version, ensured->key_version + 1);
    }
    const auto stored = store_tunnel_config(machine.runtime, directory, config_for(-1));
    EXPECT_TRUE(stored) << to_text(stored.error());
    return reached;
}

std::string self_path() {
    return fs::read_symlink("/proc/self/exe").string();
}

pid_t start_writer(const std::string& root) {
    const std::string self = self_path();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv(kDirectoryVariable, root.c_str(), 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(self.c_str(), self.c_str(), "--gtest_filter=CrashKillWriter.RunsUntilKilled",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

TEST(CrashKill, DataDirectorySurvivesSigkill) {
    std::string pattern = testing_support::scratch_folder("velnaro-kill");
    ASSERT_FALSE(pattern.empty());
    const std::string root = pattern;
    std::ofstream(join_path(root, "machine-id")) << "0123456789abcdef0123456789abcdef\n";
    {
        // The components come from the build tree; without them no key can be made.
        RealMachine machine(root);
        const auto components = resolve_component_directory(machine.platform);
        if (!components || !fs::exists(join_path(*components, "tunnel.so"))) {
            fs::remove_all(root);
            GTEST_SKIP() << "the Linux components are not built beside the test binary";
        }
    }

    std::mt19937 random(std::random_device{}());
    // Short delays land in the first creation, longer ones in later rounds.
    std::uniform_int_distribution<int> delay_us(0, 40000);
    const auto started = std::chrono::steady_clock::now();
    int kills = 0;
    int reached = 0;
    for (; kills < kKills && std::chrono::steady_clock::now() - started < kTimeBudget; ++kills) {
        if (kills % 50 == 0)
            fs::remove_all(data_directory(root));  // so that creation is interrupted again
        const pid_t writer = start_writer(root);
        ASSERT_GT(writer, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        ::kill(writer, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(writer, &status, 0), writer);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;
        reached += check_after_kill(root, kills) ? 1 : 0;
        if (HasFailure())
            break;
    }
    EXPECT_GE(kills, 100) << "too few kills within the time budget to mean much";
    EXPECT_GE(reached, kills / 4) << "the writer was mostly killed before writing anything";
    fs::remove_all(root);
}

}  // namespace
}  // namespace velnaro
