// The component loader, key generation and telemetry against real DLLs under Windows
// (or Wine): the doubles built beside this test, copied into a fresh "vpn" folder per test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/native.hpp"
#include "wireguard/components.hpp"
#include "wireguard/keys.hpp"
#include "wireguard/telemetry.hpp"

namespace velnaro {
namespace {

namespace fs = std::filesystem;

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

void put_le(std::vector<char>& block, std::size_t offset, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        block[offset + i] = static_cast<char>(value >> (8 * i));
}

struct Peer {
    std::uint64_t tx, rx, handshake;
    std::uint32_t networks;
};

std::vector<char> configuration_block(const std::vector<Peer>& peers) {
    std::vector<char> block(80, 0);
    put_le(block, 72, peers.size(), 4);
    for (const auto& p : peers) {
        const std::size_t at = block.size();
        block.resize(at + 136 + 24 * std::size_t{p.networks}, 0);
        put_le(block, at + 104, p.tx, 8);
        put_le(block, at + 112, p.rx, 8);
        put_le(block, at + 120, p.handshake, 8);
        put_le(block, at + 128, p.networks, 4);
    }
    return block;
}

// Public members: the table-driven cases arrange the folder through lambdas.
class WindowsComponents : public ::testing::Test {
  public:
    void SetUp() override {
        auto exe = native.get().system.executable_path();
        ASSERT_TRUE(exe);
        doubles = fs::u8path(*exe).parent_path() / "doubles";
        ASSERT_TRUE(fs::exists(doubles / "standard" / "wireguard.dll")) << utf8(doubles);
        static std::atomic<int> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        root = fs::temp_directory_path() /
               ("velnaro-components-" + std::to_string(stamp) + "-" + std::to_string(++counter));
        vpn = root / "vpn";
        fs::create_directories(vpn);
    }
    // Loaded libraries are never released, so their folder may refuse to go; that is fine.
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    void install(const char* variant, const char* file) {
        fs::copy_file(doubles / variant / file, vpn / file);
    }
    void install_standard() {
        install("standard", "wireguard.dll");
        install("standard", "tunnel.dll");
    }
    void behave(const std::string& lines) { std::ofstream(vpn / "behaviour.txt") << lines; }
    void put_block(const std::vector<char>& block) {
        std::ofstream(vpn / "block.bin", std::ios::binary)
            .write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    std::string calls() {
        std::ifstream in(vpn / "calls.txt");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string directory() {
        auto canonical = native.get().files.canonical_directory(utf8(vpn));
        return canonical ? *canonical : utf8(vpn);
    }

    platform::NativePlatform native;
    wireguard::ComponentCell cell;
    Runtime runtime{native.get(), cell};
    fs::path doubles, root, vpn;
};

TEST_F(WindowsComponents, LoadsFromTheCanonicalFolderAndGeneratesKeys) {
    install_standard();
    const std::string dir = directory();
    EXPECT_EQ(dir.rfind("\\\\?\\", 0), 0u) << dir;  // loading must accept the long form
    auto pair = generate_keypair(runtime, dir);
    ASSERT_TRUE(pair) << to_text(pair.error());
    EXPECT_EQ(pair->public_key[0], 0x81);
    EXPECT_EQ(pair->private_key.data()[31], 0x21 + 31);
    EXPECT_EQ(calls(), "generate_keypair\n");
}

TEST_F(WindowsComponents, EachBrokenInstallationHasItsCode) {
    struct Case {
        const char* name;
        std::function<void(WindowsComponents&)> arrange;
        DetailCode expected;
    };
    const std::vector<Case> cases = {
        {"no wireguard.dll", [](auto& t) { t.install("standard", "tunnel.dll"); },
         DetailCode::WIREGUARD_DLL_MISSING},
        {"no tunnel.dll", [](auto& t) { t.install("standard", "wireguard.dll"); },
         DetailCode::TUNNEL_DLL_MISSING},
        {"wireguard.dll is a folder",
         [](auto& t) {
             fs::create_directory(t.vpn / "wireguard.dll");
             t.install("standard", "tunnel.dll");
         },
         DetailCode::WIREGUARD_DLL_MISSING},
        {"wireguard.dll is not a library",
         [](auto& t) {
             std::ofstream(t.vpn / "wireguard.dll") << "not a library";
             t.install("standard", "tunnel.dll");
         },
         DetailCode::WIREGUARD_DLL_LOAD_FAILED},
        {"tunnel.dll is not a library",
         [](auto& t) {
             t.install("standard", "wireguard.dll");
             std::ofstream(t.vpn / "tunnel.dll") << "not a library";
         },
         DetailCode::TUNNEL_DLL_LOAD_FAILED},
        {"wireguard.dll lacks WireGuardGetConfiguration",
         [](auto& t) {
             t.install("no_configuration", "wireguard.dll");
             t.install("standard", "tunnel.dll");
         },
         DetailCode::TUNNEL_EXPORT_MISSING},
        {"all-zero private key",
         [](auto& t) {
             t.install_standard();
             t.behave("keys=zero_private\n");
         },
         DetailCode::KEY_GENERATION_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.arrange(*this);
        wireguard::ComponentCell fresh;
        Runtime isolated{native.get(), fresh};
        auto pair = generate_keypair(isolated, directory());
        ASSERT_FALSE(pair);
        EXPECT_EQ(to_text(pair.error()), to_text(c.expected));
    }
}

TEST_F(WindowsComponents, FirstFailureStaysForTheProcess) {
    install("standard", "tunnel.dll");
    const std::string dir = directory();
    EXPECT_EQ(generate_keypair(runtime, dir).error(), DetailCode::WIREGUARD_DLL_MISSING);
    install("standard", "wireguard.dll");
    EXPECT_EQ(generate_keypair(runtime, dir).error(), DetailCode::WIREGUARD_DLL_MISSING);
    wireguard::ComponentCell fresh;
    Runtime next{native.get(), fresh};
    EXPECT_TRUE(generate_keypair(next, dir));
}

TEST_F(WindowsComponents, TelemetryReadsTheAdapterAndAlwaysClosesIt) {
    install_standard();
    put_block(configuration_block({{10, 20, 0, 1}, {1, 2, 133000000000000000ULL, 0}}));
    const std::string dir = directory();

    auto up = read_adapter_telemetry(runtime, dir);
    ASSERT_TRUE(up) << to_text(up.error());
    EXPECT_EQ(*up, (AdapterTelemetry{1655526400, 22, 11, true}));
    EXPECT_EQ(calls(), "open_adapter\nclose_adapter\n");

    behave("state=0\n");
    EXPECT_EQ(read_adapter_telemetry(runtime, dir), (AdapterTelemetry{1655526400, 22, 11, false}));

    const std::vector<std::pair<std::string, DetailCode>> failures = {
        {"adapter=absent\n", DetailCode::WIREGUARD_ADAPTER_NOT_FOUND},
        {"state_call=fail\n", DetailCode::WIREGUARD_ADAPTER_STATE_FAILED},
        {"probe_size=0\n", DetailCode::WIREGUARD_CONFIGURATION_SIZE_INVALID},
        {"read=fail\n", DetailCode::WIREGUARD_CONFIGURATION_READ_FAILED},
        {"returned_size=4096\n", DetailCode::WIREGUARD_CONFIGURATION_INVALID},
    };
    for (const auto& [lines, expected] : failures) {
        SCOPED_TRACE(lines);
        behave(lines);
        auto result = read_adapter_telemetry(runtime, dir);
        ASSERT_FALSE(result);
        EXPECT_EQ(to_text(result.error()), to_text(expected));
    }
    const std::string log = calls();
    std::size_t opens = 0, closes = 0;
    for (std::size_t at = 0; (at = log.find("open_adapter", at)) != std::string::npos; ++at)
        ++opens;
    for (std::size_t at = 0; (at = log.find("close_adapter", at)) != std::string::npos; ++at)
        ++closes;
    EXPECT_EQ(opens, 6u);  // every read above except the absent adapter
    EXPECT_EQ(closes, opens);
}

}  // namespace
}  // namespace velnaro
