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

NameAnswer found(std::vector<std::uint32_t> ipv4) {
    return {NameOutcome::found, ipv4, 0};
}

TEST(EndpointPolicy, OnlyAnAnswerWithoutTheAddressInUseMovesIt) {
    const std::pair<NameAnswer, std::optional<std::uint32_t>> cases[] = {
        {found({kOld}), std::nullopt},
        {found({kNew, kOld}), std::nullopt},  // a pool that still holds it
        {found({kNew, kNew + 1}), kNew},
        {found({}), std::nullopt},
        {{NameOutcome::temporary_failure, {}, 0}, std::nullopt},
        {{NameOutcome::no_such_name, {}, 0}, std::nullopt},
    };
    for (const auto& [answer, expected] : cases)
        EXPECT_EQ(endpoint_move(answer, kOld), expected);
}

TEST(EndpointPolicy, LooksUpAtTheIntervalOrOnceTheHandshakeIsStale) {
    const std::chrono::steady_clock::time_point t0{};
    EXPECT_TRUE(lookup_due(t0 + 29s, t0, true) && !lookup_due(t0 + 29s, t0, false));
    EXPECT_TRUE(handshake_stale(0, 1000) && handshake_stale(1000, 1136));     // none; 136 s old
    EXPECT_FALSE(handshake_stale(1000, 1135) || handshake_stale(1000, 900));  // 135 s; clock back
}

TEST(EndpointPolicy, StartWaitBacksOffForTemporaryFailuresOnly) {
    const NameAnswer down{NameOutcome::temporary_failure, {}, 0};
    std::vector<std::chrono::milliseconds> pauses;
    std::chrono::milliseconds waited{0};
    for (int failures = 1; auto pause = start_pause(down, failures, waited); ++failures) {
        pauses.push_back(*pause);
        waited += *pause;
    }
    ASSERT_GE(pauses.size(), 5u);  // then 3 s each: a name that starts resolving is used soon
    EXPECT_EQ(std::vector(pauses.begin(), pauses.begin() + 5),
              decltype(pauses)({500ms, 1s, 2s, 3s, 3s}));
    EXPECT_EQ(waited, kStartWaitLimit);  // the last pause ends at the limit
    EXPECT_FALSE(start_pause({NameOutcome::no_such_name, {}, 0}, 1, 0ms));
    EXPECT_FALSE(start_pause(found({kNew}), 1, 0ms));
}

// A fake adapter whose single peer uses 192.168.77.1, with a fresh handshake, and a follower
// whose lookups answer `answer`.
struct FollowerWorld {
    fake::FakePlatform fake;
    NameAnswer answer = found({kOld});
    std::unique_ptr<EndpointFollower> follower;

    explicit FollowerWorld(fake::FakeComponentOptions options = {}) {
        auto& block = options.adapter.block;
        block = fake::make_configuration_block({{0, 0, fake.system.wall_clock_100ns, 1}});
        const std::uint8_t endpoint[] = {2, 0, 0xCA, 0x6C, 192, 168, 77, 1};
        std::copy(std::begin(endpoint), std::end(endpoint), block.begin() + 80 + 76);
        const auto installation = fake::install_fake_components(fake, options);
        const auto components =
            fake.components.load(fake.platform, installation.component_directory);
        follower = std::make_unique<EndpointFollower>(fake.runtime, **components,
                                                      GatewayName{"gw.example", 51820},
                                                      [this](std::string_view) { return answer; });
    }
    void round() { fake.system.monotonic += kGatewayLookupInterval, follower->follow_once(); }
    std::size_t lines_with(const std::string& text) const {
        return std::count_if(fake.log.lines.begin(), fake.log.lines.end(), [&](const auto& line) {
            return line.message.find(text) != std::string::npos;
        });
    }
};

TEST(EndpointFollower, MovesOnlyThePeersEndpointAndSaysSoOnce) {
    FollowerWorld world;
    world.round();
    world.answer = found({kNew});
    world.round();
    world.round();  // the address in use is the answer now: nothing more
    const auto& sets = fake::fake_component_calls().configurations_set;
    ASSERT_EQ(sets.size(), 1u);
    std::vector<std::uint8_t> expected(80 + 136, 0);  // no interface field, no replacement
    expected[72] = 1;
    expected[80] = 1 | 8 | 128;  // public key, endpoint, update only; no networks
    std::fill_n(expected.begin() + 80 + 8, 32, 0xEE);  // the peer's key, as the fake reads
    const std::uint8_t endpoint[] = {2, 0, 0xCA, 0x6C, 192, 168, 77, 3};
    std::copy(std::begin(endpoint), std::end(endpoint), expected.begin() + 80 + 76);
    EXPECT_EQ(sets[0], expected);
    EXPECT_EQ(world.lines_with("gateway gw.example moved from 192.168.77.1 to 192.168.77.3"), 1u);
}

TEST(EndpointFollower, ARefusedChangeIsSaidOnceAndTriedAgain) {
    fake::FakeComponentOptions options;
    options.adapter.set_succeeds = false;
    FollowerWorld world(options);
    world.answer = found({kNew});
    world.round(), world.round();
    EXPECT_EQ(fake::fake_component_calls().configurations_set.size(), 2u);  // tried again,
    EXPECT_EQ(world.lines_with("could not be changed"), 1u);                // said once
}

TEST(EndpointFollower, ALibraryWithoutTheSetterLoadsAndLeavesTheNameUnfollowed) {
    fake::FakePlatform fake;
    fake::FakeComponentOptions options;
    options.missing_exports = {"WireGuardSetConfiguration"};
    const auto installation = fake::install_fake_components(fake, options);
    const auto components = fake.components.load(fake.platform, installation.component_directory);
    ASSERT_TRUE(components);
    EXPECT_EQ(follow_gateway(fake.runtime, **components, GatewayName{"gw.example", 1}), nullptr);
    EXPECT_EQ(follow_gateway(fake.runtime, **components, GatewayName{"192.0.2.1", 1}), nullptr);
    ASSERT_EQ(fake.log.lines.size(), 1u);  // said once, for the name alone
    EXPECT_NE(fake.log.lines[0].message.find("gw.example is not looked up again"),
              std::string::npos);
}

}  // namespace
}  // namespace velnaro
