#include <gtest/gtest.h>

#include <vector>

#include "fake/fake_components.hpp"
#include "wireguard/endpoint_follower.hpp"
#include "wireguard/endpoint_policy.hpp"

namespace velnaro {
namespace {

using namespace std::chrono_literals;
using platform::NameAnswer;
using platform::NameOutcome;

constexpr std::uint32_t kOld = 0xC0A84D01, kNew = 0xC0A84D03;  // 192.168.77.1 and .3

NameAnswer found(std::vector<std::uint32_t> addresses) {
    return {NameOutcome::found, std::move(addresses), 0};
}

TEST(EndpointPolicy, OnlyAnAnswerWithoutTheAddressInUseMovesIt) {
    const struct {
        const char* name;
        NameAnswer answer;
        std::optional<std::uint32_t> expected;
    } cases[] = {
        {"same address", found({kOld}), std::nullopt},
        {"pool still holding it", found({kNew, kOld}), std::nullopt},
        {"moved", found({kNew}), kNew},
        {"moved within a pool: the first", found({kNew, kNew + 1}), kNew},
        {"empty answer", found({}), std::nullopt},
        {"resolver down", {NameOutcome::temporary_failure, {}, 0}, std::nullopt},
        {"name gone", {NameOutcome::no_such_name, {}, 0}, std::nullopt},
        {"other failure", {NameOutcome::failed, {}, 0}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(endpoint_move(c.answer, kOld), c.expected);
    }
}

TEST(EndpointPolicy, LooksUpAtTheIntervalOrOnceTheHandshakeIsStale) {
    const std::chrono::steady_clock::time_point t0{};
    EXPECT_TRUE(lookup_due(t0, std::nullopt, false));
    EXPECT_FALSE(lookup_due(t0 + 29s, t0, false));
    EXPECT_TRUE(lookup_due(t0 + 29s, t0, true));
    EXPECT_TRUE(lookup_due(t0 + 30s, t0, false));

    EXPECT_TRUE(handshake_stale(0, 1000));  // never
    EXPECT_FALSE(handshake_stale(1000, 1135));
    EXPECT_TRUE(handshake_stale(1000, 1136));
    EXPECT_FALSE(handshake_stale(1000, 900));  // a clock that went back
}

TEST(EndpointPolicy, StartWaitBacksOffForTemporaryFailuresOnly) {
    const NameAnswer down{NameOutcome::temporary_failure, {}, 0};
    std::vector<std::chrono::milliseconds> pauses;
    std::chrono::milliseconds waited{0};
    for (int failures = 1; auto pause = start_pause(down, failures, waited); ++failures) {
        pauses.push_back(*pause);
        waited += *pause;
    }
    ASSERT_GE(pauses.size(), 4u);
    EXPECT_EQ(pauses[0], 500ms);
    EXPECT_EQ(pauses[1], 1000ms);
    EXPECT_EQ(pauses[2], 2000ms);
    EXPECT_EQ(pauses[3], 3000ms);  // never longer: a name that starts resolving is used soon
    EXPECT_EQ(waited, kStartWaitLimit);  // the last pause ends at the limit

    EXPECT_FALSE(start_pause({NameOutcome::no_such_name, {}, 0}, 1, 0ms));
    EXPECT_FALSE(start_pause({NameOutcome::failed, {}, 0}, 1, 0ms));
    EXPECT_FALSE(start_pause(found({kNew}), 1, 0ms));
}

TEST(EndpointPolicy, OnlyDottedAddressesAreLiterals) {
    for (const char* literal : {"192.168.77.1", "0.0.0.0", "255.255.255.255"})
        EXPECT_TRUE(is_ipv4_literal(literal)) << literal;
    for (const char* name : {"gateway.example", "1.2.3", "1.2.3.4.", "1.2.3.256", "", "1..3.4"})
        EXPECT_FALSE(is_ipv4_literal(name)) << name;
}

// A fake adapter whose single peer uses `endpoint`, with a fresh handshake.
std::vector<std::uint8_t> block_with_endpoint(fake::FakePlatform& fake, std::uint32_t endpoint) {
    auto block = fake::make_configuration_block({{0, 0, fake.system.wall_clock_100ns, 1}});
    const std::size_t peer = 80;
    block[peer + 76] = 2;  // AF_INET
    block[peer + 77] = 0;
    for (int i = 0; i < 4; ++i)
        block[peer + 80 + i] = static_cast<std::uint8_t>(endpoint >> (24 - 8 * i));
    return block;
}

struct FollowerWorld {
    fake::FakePlatform fake;
    NameAnswer answer = found({kOld});
    std::unique_ptr<EndpointFollower> follower;

    FollowerWorld() {
        fake::FakeComponentOptions options;
        options.adapter.block = block_with_endpoint(fake, kOld);
        const auto installation = fake::install_fake_components(fake, options);
        const auto components = fake.components.load(fake.platform, installation.component_directory);
        follower = std::make_unique<EndpointFollower>(
            fake.runtime, **components, GatewayName{"gw.example", 51820},
            [this](std::string_view) { return answer; });
    }
    void round() {
        fake.system.monotonic += kGatewayLookupInterval;
        follower->follow_once();
    }
    int lines_with(const std::string& text) const {
        int n = 0;
        for (const auto& line : fake.log.lines)
            n += line.message.find(text) != std::string::npos;
        return n;
    }
};

TEST(EndpointFollower, MovesOnlyThePeersEndpointAndSaysSoOnce) {
    FollowerWorld world;
    world.round();
    EXPECT_TRUE(fake::fake_component_calls().configurations_set.empty());

    world.answer = found({kNew});
    world.round();
    world.round();  // the endpoint now in use is the answer: nothing more
    const auto& sets = fake::fake_component_calls().configurations_set;
    ASSERT_EQ(sets.size(), 1u);
    const auto& block = sets[0];
    ASSERT_EQ(block.size(), 80u + 136u);
    EXPECT_EQ(block[0], 0);   // no interface field, no replacement of peers
    EXPECT_EQ(block[72], 1);  // one peer
    EXPECT_EQ(block[80], 1 | 8 | 128);  // public key, endpoint, update only
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin() + 80 + 76, block.begin() + 80 + 84),
              (std::vector<std::uint8_t>{2, 0, 0xCA, 0x6C, 192, 168, 77, 3}));
    EXPECT_EQ(block[80 + 128], 0);  // networks untouched
    EXPECT_EQ(world.lines_with("gateway gw.example moved from 192.168.77.1 to 192.168.77.3"), 1);
}

TEST(EndpointFollower, ARefusedChangeIsSaidOnceAndTriedAgain) {
    FollowerWorld world;
    fake::fake_component_options().adapter.set_succeeds = false;
    world.answer = found({kNew});
    world.round();
    world.round();
    EXPECT_EQ(fake::fake_component_calls().configurations_set.size(), 2u);
    EXPECT_EQ(world.lines_with("could not be changed"), 1);
}

TEST(EndpointFollower, ALibraryWithoutTheSetterLeavesTheNameUnfollowedAndSaysSo) {
    fake::FakePlatform fake;
    fake::FakeComponentOptions options;
    options.missing_exports = {"WireGuardSetConfiguration"};
    const auto installation = fake::install_fake_components(fake, options);
    const auto components = fake.components.load(fake.platform, installation.component_directory);
    ASSERT_TRUE(components);  // loads all the same
    EXPECT_EQ(follow_gateway(fake.runtime, **components, GatewayName{"gw.example", 1}), nullptr);
    EXPECT_EQ(follow_gateway(fake.runtime, **components, GatewayName{"192.0.2.1", 1}), nullptr);
    ASSERT_EQ(fake.log.lines.size(), 1u);  // only the name, which would have been followed
    EXPECT_NE(fake.log.lines[0].message.find("gw.example is not looked up again"),
              std::string::npos);
}

}  // namespace
}  // namespace velnaro
