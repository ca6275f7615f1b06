#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "core/file_time.hpp"
#include "fake/fake_components.hpp"
#include "wireguard/keys.hpp"
#include "wireguard/telemetry.hpp"

namespace velnaro {
namespace {

using fake::FakePeer;
using fake::make_configuration_block;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t k2022 = 133000000000000000ULL;  // 2022-06-18 in 100 ns since 1601

struct WalkCase {
    const char* name;
    std::vector<std::uint8_t> block;
    std::uint32_t returned_size;
    Outcome<AdapterTelemetry> expected;
};

std::vector<std::uint8_t> announcing(std::vector<std::uint8_t> block, std::uint32_t peers) {
    fake::set_block_peer_count(block, peers);
    return block;
}

std::vector<std::uint8_t> resized(std::vector<std::uint8_t> block, std::size_t size) {
    block.resize(size);
    return block;
}

std::vector<std::uint8_t> with_networks(std::vector<std::uint8_t> block, std::uint32_t count) {
    for (int i = 0; i < 4; ++i)
        block[80 + 128 + i] = static_cast<std::uint8_t>(count >> (8 * i));
    return block;
}

AdapterTelemetry telemetry(std::optional<std::uint64_t> handshake, std::uint64_t rx,
                           std::uint64_t tx) {
    return {handshake, rx, tx, true};
}

TEST(ConfigurationBlock, EveryBoundAndSum) {
    const auto one_peer_two_networks = make_configuration_block({{1, 2, 0, 2}});
    ASSERT_EQ(one_peer_two_networks.size(), 264u);
    const auto two_peers_last_short = make_configuration_block({{1, 2, 0, 0}, {3, 4, 0, 1}});
    const std::vector<WalkCase> cases = {
        {"empty interface", make_configuration_block({}), 80, telemetry(std::nullopt, 0, 0)},
        {"79 bytes", make_configuration_block({}), 79,
         fail(DetailCode::WIREGUARD_CONFIGURATION_INVALID)},
        {"returned size beyond the buffer", make_configuration_block({}), 81,
         fail(DetailCode::WIREGUARD_CONFIGURATION_INVALID)},
        {"80 bytes announcing a peer", announcing(make_configuration_block({}), 1), 80,
         fail(DetailCode::WIREGUARD_CONFIGURATION_INVALID)},
        {"65 peers, checked before any record", announcing(resized({}, 4096), 65), 4096,
         fail(DetailCode::WIREGUARD_PEER_COUNT_INVALID)},
        {"64 empty peers fit", announcing(resized({}, 80 + 64 * 136), 64), 80 + 64 * 136,
         telemetry(std::nullopt, 0, 0)},
        {"networks of the only peer run one byte past", one_peer_two_networks, 263,
         fail(DetailCode::WIREGUARD_CONFIGURATION_INVALID)},
        {"networks of the only peer end at the size", one_peer_two_networks, 264,
         telemetry(std::nullopt, 2, 1)},
        {"returned size smaller than the buffer", resized(one_peer_two_networks, 272), 264,
         telemetry(std::nullopt, 2, 1)},
        {"second peer record cut", two_peers_last_short,
         static_cast<std::uint32_t>(two_peers_last_short.size() - 24 - 1),
         fail(DetailCode::WIREGUARD_CONFIGURATION_INVALID)},
        {"networks announced past any block",
         with_networks(make_configuration_block({{}}), 0xFFFFFFFF), 216,
         fail(DetailCode::WIREGUARD_CONFIGURATION_INVALID)},
        {"latest handshake over peers", make_configuration_block({{0, 0, 0, 0}, {0, 0, k2022, 1}}),
         80 + 136 * 2 + 24, telemetry(1655526400, 0, 0)},
        {"handshake just before 1970", make_configuration_block({{0, 0, 116444735999999999ULL, 0}}),
         216, telemetry(std::nullopt, 0, 0)},
        {"handshake at 1970", make_configuration_block({{0, 0, kUnixEpochAsFileTime, 0}}), 216,
         telemetry(0, 0, 0)},
        {"sums saturate",
         make_configuration_block({{kMax - 10, kMax - 10, 0, 0}, {100, 100, 0, 0}}), 80 + 136 * 2,
         telemetry(std::nullopt, kMax, kMax)},
        {"sums add", make_configuration_block({{5, 7, 0, 0}, {11, 13, 0, 3}}), 80 + 136 * 2 + 72,
         telemetry(std::nullopt, 20, 16)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(walk_configuration_block(c.block, c.returned_size, true), c.expected);
    }
}

class AdapterTelemetryRead : public ::testing::Test {
  protected:
    void SetUp() override {
        installation = fake::install_fake_components(fake);
        adapter().block = make_configuration_block({{10, 20, k2022, 2}});
    }
    fake::FakeAdapter& adapter() { return fake::fake_component_options().adapter; }
    Outcome<AdapterTelemetry> read() {
        return read_adapter_telemetry(fake.runtime, installation.component_directory);
    }

    fake::FakePlatform fake;
    fake::FakeInstallation installation;
};

TEST_F(AdapterTelemetryRead, ReadsStateAndBlockAndClosesTheAdapter) {
    auto result = read();
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, (AdapterTelemetry{1655526400, 20, 10, true}));
    const auto& calls = fake::fake_component_calls();
    ASSERT_EQ(calls.opened_adapters.size(), 1u);
    EXPECT_EQ(calls.opened_adapters[0], u"VelnaroTunnel");
    EXPECT_EQ(calls.adapters_open(), 0);
    EXPECT_TRUE(calls.state_arrived_zeroed);
    EXPECT_TRUE(calls.probe_count_arrived_zeroed);
    EXPECT_EQ(calls.size_probes, 1);
    EXPECT_EQ(calls.configuration_reads, 1);
    EXPECT_EQ(calls.read_count_given, 264u);
    EXPECT_TRUE(calls.read_buffer_aligned);
}

TEST_F(AdapterTelemetryRead, AdapterDownStillReportsCounters) {
    adapter().state = 0;
    EXPECT_EQ(read(), (AdapterTelemetry{1655526400, 20, 10, false}));
    adapter().state = 2;  // only 1 means up
    EXPECT_EQ(read(), (AdapterTelemetry{1655526400, 20, 10, false}));
}

TEST_F(AdapterTelemetryRead, EachFailureHasItsCodeAndTheAdapterIsClosed) {
    struct Case {
        const char* name;
        std::function<void(fake::FakeAdapter&)> arrange;
        DetailCode expected;
    };
    const std::vector<Case> cases = {
        {"state query fails", [](auto& a) { a.state_succeeds = false; },
         DetailCode::WIREGUARD_ADAPTER_STATE_FAILED},
        {"probe reports 0", [](auto& a) { a.probe_size = 0; },
         DetailCode::WIREGUARD_CONFIGURATION_SIZE_INVALID},
        {"probe reports 79", [](auto& a) { a.probe_size = 79; },
         DetailCode::WIREGUARD_CONFIGURATION_SIZE_INVALID},
        {"probe reports one byte over the limit", [](auto& a) { a.probe_size = 0x100001; },
         DetailCode::WIREGUARD_CONFIGURATION_SIZE_INVALID},
        {"read fails", [](auto& a) { a.read_succeeds = false; },
         DetailCode::WIREGUARD_CONFIGURATION_READ_FAILED},
        {"returned size below 80", [](auto& a) { a.returned_size = 79; },
         DetailCode::WIREGUARD_CONFIGURATION_INVALID},
        // 264 rounds up to a 264-byte buffer: one byte more lies beyond it.
        {"returned size beyond the buffer", [](auto& a) { a.returned_size = 265; },
         DetailCode::WIREGUARD_CONFIGURATION_INVALID},
        {"65 peers", [](auto& a) { fake::set_block_peer_count(a.block, 65); },
         DetailCode::WIREGUARD_PEER_COUNT_INVALID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.arrange(adapter());
        auto result = read();
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), c.expected);
        EXPECT_EQ(fake::fake_component_calls().adapters_open(), 0);
        EXPECT_EQ(fake::fake_component_calls().opened_adapters.size(), 1u);
    }
}

TEST_F(AdapterTelemetryRead, ReturnedSizeWithinTheRoundedBufferIsAccepted) {
    // A probe of 81 bytes gets an 88-byte buffer; a library that then reports 88 stays inside.
    adapter().block = make_configuration_block({});
    adapter().block.resize(88);
    adapter().probe_size = 81;
    adapter().returned_size = 88;
    EXPECT_EQ(read(), (AdapterTelemetry{std::nullopt, 0, 0, true}));
    EXPECT_EQ(fake::fake_component_calls().read_count_given, 81u);
    adapter().returned_size = 89;
    EXPECT_EQ(read().error(), DetailCode::WIREGUARD_CONFIGURATION_INVALID);
}

TEST_F(AdapterTelemetryRead, LargestBlockIsRead) {
    adapter().block = make_configuration_block({{1, 1, 0, (0x100000 - 80 - 136) / 24}});
    adapter().block.resize(0x100000);
    EXPECT_EQ(read(), (AdapterTelemetry{std::nullopt, 1, 1, true}));
}

TEST_F(AdapterTelemetryRead, AbsentAdapterIsNotFoundAndNothingIsClosed) {
    adapter().exists = false;
    EXPECT_EQ(read().error(), DetailCode::WIREGUARD_ADAPTER_NOT_FOUND);
    EXPECT_EQ(fake::fake_component_calls().adapters_closed, 0);
    EXPECT_EQ(fake::fake_component_calls().state_queries, 0);
}

TEST(AdapterTelemetryLoad, ReportsTheProcessesFirstLoadCode) {
    fake::FakePlatform fake;
    const auto installation =
        fake::install_fake_components(fake, {.missing_exports = {"WireGuardGetConfiguration"}});
    EXPECT_EQ(generate_keypair(fake.runtime, installation.component_directory).error(),
              DetailCode::TUNNEL_EXPORT_MISSING);
    fake::fake_component_options().missing_exports.clear();
    EXPECT_EQ(read_adapter_telemetry(fake.runtime, installation.component_directory).error(),
              DetailCode::TUNNEL_EXPORT_MISSING);
    EXPECT_TRUE(fake::fake_component_calls().opened_adapters.empty());
}

}  // namespace
}  // namespace velnaro
