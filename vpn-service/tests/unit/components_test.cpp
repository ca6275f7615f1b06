#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "fake/fake_components.hpp"
#include "platform/paths.hpp"
#include "wireguard/components.hpp"
#include "wireguard/keys.hpp"
#include "wireguard/tunnel_service_mode.hpp"

namespace velnaro {
namespace {

using fake::FakeComponentOptions;
using fake::FakeKeyGeneration;

struct LoadCase {
    const char* name;
    std::function<void(FakeComponentOptions&)> arrange;
    DetailCode expected;
    int expected_loads;  // libraries the loader was asked to map
};

TEST(ComponentLoading, EachFaultYieldsItsCodeAndStopsThere) {
    const std::vector<LoadCase> cases = {
        {"wireguard file absent", [](auto& o) { o.wireguard_file = false; },
         DetailCode::WIREGUARD_DLL_MISSING, 0},
        {"tunnel file absent", [](auto& o) { o.tunnel_file = false; },
         DetailCode::TUNNEL_DLL_MISSING, 1},
        {"wireguard refused", [](auto& o) { o.wireguard_loads = false; },
         DetailCode::WIREGUARD_DLL_LOAD_FAILED, 0},
        {"tunnel refused", [](auto& o) { o.tunnel_loads = false; },
         DetailCode::TUNNEL_DLL_LOAD_FAILED, 1},
        {"no keypair export", [](auto& o) { o.missing_exports = {"WireGuardGenerateKeypair"}; },
         DetailCode::TUNNEL_EXPORT_MISSING, 2},
        {"no tunnel service export",
         [](auto& o) { o.missing_exports = {"WireGuardTunnelService"}; },
         DetailCode::TUNNEL_EXPORT_MISSING, 2},
        {"no open export", [](auto& o) { o.missing_exports = {"WireGuardOpenAdapter"}; },
         DetailCode::TUNNEL_EXPORT_MISSING, 2},
        {"no close export", [](auto& o) { o.missing_exports = {"WireGuardCloseAdapter"}; },
         DetailCode::TUNNEL_EXPORT_MISSING, 2},
        {"no state export", [](auto& o) { o.missing_exports = {"WireGuardGetAdapterState"}; },
         DetailCode::TUNNEL_EXPORT_MISSING, 2},
        // Key generation does not use this export, yet the table is all or nothing.
        {"no configuration export",
         [](auto& o) { o.missing_exports = {"WireGuardGetConfiguration"}; },
         DetailCode::TUNNEL_EXPORT_MISSING, 2},
        {"public key left zero",
         [](auto& o) { o.key_generation = FakeKeyGeneration::leaves_public_zero; },
         DetailCode::KEY_GENERATION_FAILED, 2},
        {"private key left zero",
         [](auto& o) { o.key_generation = FakeKeyGeneration::leaves_private_zero; },
         DetailCode::KEY_GENERATION_FAILED, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform fake;
        FakeComponentOptions options;
        c.arrange(options);
        const auto installation = fake::install_fake_components(fake, options);
        auto pair = generate_keypair(fake.runtime, installation.component_directory);
        ASSERT_FALSE(pair);
        EXPECT_EQ(pair.error(), c.expected);
        EXPECT_EQ(fake.loader.loads, c.expected_loads);
    }
}

// A library that another account could swap would run with the service's rights.
TEST(ComponentLoading, RefusesComponentsAnotherAccountCouldReplace) {
    const std::vector<std::function<std::string(const fake::FakeInstallation&)>> replaceable = {
        [](const auto& i) { return i.executable; },
        [](const auto& i) { return *parent_directory(*parent_directory(i.executable)); },
        [](const auto& i) { return i.component_directory; },
        [](const auto& i) { return i.tunnel_library; },
    };
    for (const auto& pick : replaceable) {
        fake::FakePlatform fake;
        const auto installation = fake::install_fake_components(fake);
        fake.files.replaceable.insert(pick(installation));
        SCOPED_TRACE(pick(installation));
        auto pair = generate_keypair(fake.runtime, installation.component_directory);
        ASSERT_FALSE(pair);
        EXPECT_EQ(pair.error(), DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
        EXPECT_EQ(fake.loader.loads, 0);
    }
    fake::FakePlatform fake;
    const auto installation = fake::install_fake_components(fake);
    fake.faults.fail_nth("replaceable_by_others", 2);
    auto pair = generate_keypair(fake.runtime, installation.component_directory);
    EXPECT_EQ(pair.error(), DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE)
        << "not inspectable is unsafe";
    // The account running the process is trusted at run time: in the service it is the
    // system's own.
    fake::FakePlatform own;
    const auto mine = fake::install_fake_components(own);
    own.files.owned_by_running_account.insert(mine.tunnel_library);
    EXPECT_TRUE(generate_keypair(own.runtime, mine.component_directory));
}

TEST(ComponentLoading, LibraryPathThatIsADirectoryCountsAsMissing) {
    fake::FakePlatform fake;
    const auto installation = fake::install_fake_components(fake, {.wireguard_file = false});
    fake.files.create_directories(installation.wireguard_library);
    auto pair = generate_keypair(fake.runtime, installation.component_directory);
    ASSERT_FALSE(pair);
    EXPECT_EQ(pair.error(), DetailCode::WIREGUARD_DLL_MISSING);
    EXPECT_EQ(fake.loader.loads, 0);
}

TEST(ComponentLoading, FirstFailureIsKeptEvenAfterTheFileAppears) {
    fake::FakePlatform fake;
    const auto installation = fake::install_fake_components(fake, {.wireguard_file = false});
    ASSERT_EQ(generate_keypair(fake.runtime, installation.component_directory).error(),
              DetailCode::WIREGUARD_DLL_MISSING);
    fake.files.put_file(installation.wireguard_library, "MZ");
    EXPECT_EQ(generate_keypair(fake.runtime, installation.component_directory).error(),
              DetailCode::WIREGUARD_DLL_MISSING);
    EXPECT_EQ(fake.loader.loads, 0);

    // A new process starts with an empty cell and loads what is there now.
    wireguard::ComponentCell fresh;
    Runtime next{fake.platform, fresh};
    EXPECT_TRUE(generate_keypair(next, installation.component_directory));
}

TEST(ComponentLoading, FirstCallersDirectoryWinsAndLibrariesLoadOnce) {
    fake::FakePlatform fake;
    const auto installation = fake::install_fake_components(fake);
    auto first = fake.components.load(fake.platform, installation.component_directory);
    ASSERT_TRUE(first);
    auto later = fake.components.load(fake.platform, join_path(fake::fake_root(), "elsewhere"));
    ASSERT_TRUE(later);
    EXPECT_EQ(*first, *later);
    EXPECT_EQ(fake.loader.loads, 2);
}

TEST(ComponentLoading, ConcurrentFirstCallersShareOneOutcome) {
    fake::FakePlatform fake;
    const auto installation = fake::install_fake_components(fake);
    std::vector<const wireguard::WireGuardComponents*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            auto loaded = fake.components.load(fake.platform, installation.component_directory);
            if (loaded)
                seen[i] = *loaded;
        });
    }
    for (auto& t : threads)
        t.join();
    for (auto* s : seen)
        EXPECT_EQ(s, seen[0]);
    EXPECT_NE(seen[0], nullptr);
    EXPECT_EQ(fake.loader.loads, 2);
}

TEST(ComponentDirectory, ResolvesBesideTheExecutableOrNamesTheMissingStep) {
    fake::FakePlatform fake;
    const auto installation = fake::install_fake_components(fake);
    EXPECT_EQ(resolve_component_directory(fake.platform), installation.component_directory);

    fake.system.executable = "vpn-service";
    EXPECT_EQ(resolve_component_directory(fake.platform).error(),
              DetailCode::EXECUTABLE_DIRECTORY_UNAVAILABLE);
    fake.system.executable.reset();
    EXPECT_EQ(resolve_component_directory(fake.platform).error(),
              DetailCode::EXECUTABLE_PATH_UNAVAILABLE);
    fake.system.executable = join_path(join_path(fake::fake_root(), "other"), "vpn-service");
    EXPECT_EQ(resolve_component_directory(fake.platform).error(),
              DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
}

TEST(KeyGeneration, ReturnsTheFilledPairFromZeroedBuffers) {
    fake::FakePlatform fake;
    const auto installation = fake::install_fake_components(fake);
    auto first = generate_keypair(fake.runtime, installation.component_directory);
    auto second = generate_keypair(fake.runtime, installation.component_directory);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_TRUE(fake::fake_component_calls().key_buffers_arrived_zeroed);
    EXPECT_FALSE(is_all_zero(first->public_key));
    EXPECT_FALSE(is_all_zero(first->private_key.span()));
    EXPECT_NE(first->private_key, second->private_key);
}

TEST(KeyGeneration, ChecksTheDirectoryAtEveryCallBeforeTouchingTheLibraries) {
    fake::FakePlatform fake;
    const auto installation = fake::install_fake_components(fake);
    ASSERT_TRUE(generate_keypair(fake.runtime, installation.component_directory));
    fake.files.directories.erase(installation.component_directory);
    EXPECT_EQ(generate_keypair(fake.runtime, installation.component_directory).error(),
              DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
    EXPECT_EQ(generate_keypair(fake.runtime, installation.tunnel_library).error(),
              DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
    EXPECT_EQ(fake::fake_component_calls().generate_keypair, 1);
}

std::string config_path_in(std::string_view directory) {
    return join_path(directory, "VelnaroTunnel.conf.dpapi");
}

Outcome<void> any_content() {
    return {};
}

TEST(TunnelServiceRun, RefusesEveryUnacceptablePathBeforeLoading) {
    fake::FakePlatform fake;
    const auto installation = fake::install_fake_components(fake);
    const std::string data = join_path(fake::fake_root(), "data");
    fake.files.create_directories(data);
    const std::string lower = join_path(data, "velnarotunnel.conf.dpapi");
    fake.files.put_file(lower, "x");
    const std::string folder = join_path(data, "sub");
    fake.files.create_directories(config_path_in(folder));
    const std::string bad_text = join_path(data, "\xff") + "x";
    fake.files.create_directories(bad_text);
    fake.files.put_file(config_path_in(bad_text), "x");
    const std::string with_zero = data + std::string("\0z", 2);
    fake.files.create_directories(with_zero);
    fake.files.put_file(config_path_in(with_zero), "x");

    const std::vector<std::string> refused = {
        "VelnaroTunnel.conf.dpapi",                         // relative
        lower,                                              // wrong case
        config_path_in(join_path(fake::fake_root(), "x")),  // does not exist
        config_path_in(folder),                             // a directory
        config_path_in(bad_text),                           // not valid text on the way
        config_path_in(with_zero),                          // would be cut short
        std::string(config_path_in(data)).append(1, '\0'),
        "",
    };
    fake.files.put_file(config_path_in(data), "sealed");
    for (const auto& path : refused) {
        SCOPED_TRACE(path);
        auto status = run_tunnel_service(fake.runtime, path, any_content);
        ASSERT_FALSE(status);
        EXPECT_EQ(status.error(), DetailCode::TUNNEL_CONFIG_PATH_INVALID);
    }
    EXPECT_EQ(fake.loader.loads, 0);
    EXPECT_TRUE(fake::fake_component_calls().tunnel_service_paths.empty());
    (void)installation;
}

TEST(TunnelServiceRun, HandsThePathAsGivenAndMapsTheResult) {
    fake::FakePlatform fake;
    fake::install_fake_components(fake);
    const std::string data = join_path(fake::fake_root(),
                                       "donn\xc3\xa9"
                                       "es");
    fake.files.create_directories(data);
    fake.files.put_file(config_path_in(data), "sealed");

    EXPECT_TRUE(run_tunnel_service(fake.runtime, config_path_in(data), any_content));
    const auto& paths = fake::fake_component_calls().tunnel_service_paths;
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_NE(paths[0].find(u"donn\u00e9es"), std::u16string::npos);
    EXPECT_EQ(paths[0].size(), config_path_in(data).size() - 1);  // two bytes, one unit

    fake::fake_component_options().tunnel_service_result = false;
    EXPECT_EQ(run_tunnel_service(fake.runtime, config_path_in(data), any_content).error(),
              DetailCode::TUNNEL_SERVICE_FAILED);

    // A file whose content is refused never reaches the library.
    const auto refused = [] { return Outcome<void>(fail(DetailCode::TUNNEL_CONFIG_STORED_INVALID)); };
    EXPECT_EQ(run_tunnel_service(fake.runtime, config_path_in(data), refused).error(),
              DetailCode::TUNNEL_CONFIG_STORED_INVALID);
    EXPECT_EQ(paths.size(), 2u);
}

TEST(TunnelServiceRun, NeedsTheComponentDirectory) {
    fake::FakePlatform fake;
    const auto installation = fake::install_fake_components(fake);
    const std::string data = join_path(fake::fake_root(), "data");
    fake.files.create_directories(data);
    fake.files.put_file(config_path_in(data), "sealed");
    fake.files.directories.erase(installation.component_directory);
    EXPECT_EQ(run_tunnel_service(fake.runtime, config_path_in(data), any_content).error(),
              DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
    EXPECT_EQ(fake.loader.loads, 0);
}

TEST(ComponentSelfTest, ReportsTheFirstFailingStep) {
    struct Case {
        const char* name;
        FakeComponentOptions options;
        bool remove_directory;
        std::optional<DetailCode> expected;
    };
    const std::vector<Case> cases = {
        {"working", {}, false, std::nullopt},
        {"no vpn directory", {}, true, DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE},
        {"no wireguard library",
         {.wireguard_file = false},
         false,
         DetailCode::WIREGUARD_DLL_MISSING},
        {"zero key",
         {.key_generation = FakeKeyGeneration::leaves_private_zero},
         false,
         DetailCode::KEY_GENERATION_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform fake;
        const auto installation = fake::install_fake_components(fake, c.options);
        if (c.remove_directory)
            fake.files.directories.erase(installation.component_directory);
        const auto result = component_self_test(fake.runtime);
        EXPECT_EQ(result.success, !c.expected.has_value());
        EXPECT_EQ(result.failure, c.expected);
    }
}

}  // namespace
}  // namespace velnaro
