#include <gtest/gtest.h>

#include <vector>

#include "configuration_block.hpp"
#include "platform/name_lookup.hpp"
#include "uapi_text.hpp"

namespace velnaro::wglinux {
namespace {

// The block the tunnel's follower hands to WireGuardSetConfiguration: one peer, its key, its
// new endpoint 192.168.77.3:51820 and the flags public key, endpoint and update only.
std::vector<std::uint8_t> endpoint_change_block() {
    std::vector<std::uint8_t> block(80 + 136, 0);
    block[72] = 1;
    block[80] = 1 | 8 | 128;
    for (std::size_t i = 0; i < 32; ++i)
        block[80 + 8 + i] = static_cast<std::uint8_t>(i + 1);
    const std::uint8_t endpoint[] = {2, 0, 0xCA, 0x6C, 192, 168, 77, 3};
    std::copy(std::begin(endpoint), std::end(endpoint), block.begin() + 80 + 76);
    return block;
}

TEST(EndpointChange, CarriesOutOnlyAnEndpointChangeOfAnExistingPeer) {
    const auto block = endpoint_change_block();
    const auto changes =
        read_endpoint_changes(block.data(), static_cast<std::uint32_t>(block.size()));
    ASSERT_TRUE(changes);
    ASSERT_EQ(changes->size(), 1u);
    EXPECT_EQ((*changes)[0].address, 0xC0A84D03u);
    EXPECT_EQ((*changes)[0].port, 51820);
    EXPECT_EQ(as_text(build_uapi_endpoint_request((*changes)[0].public_key, 0xC0A84D03, 51820)),
              "set=1\npublic_key="
              "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20"
              "\nendpoint=192.168.77.3:51820\n\n");

    const struct {
        const char* name;
        std::size_t offset;
        std::uint8_t value;
    } refused[] = {
        {"an interface field", 0, 2},
        {"replacing the peers", 0, 8},
        {"a peer that may be added", 80, 1 | 8},
        {"the allowed networks replaced", 80, 1 | 8 | 128 | 32},
        {"an IPv6 endpoint", 80 + 76, 23},
        {"networks to add", 80 + 128, 1},
        {"a second peer announced", 72, 2},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.name);
        auto changed = block;
        changed[r.offset] = r.value;
        EXPECT_FALSE(
            read_endpoint_changes(changed.data(), static_cast<std::uint32_t>(changed.size())));
    }
    EXPECT_FALSE(read_endpoint_changes(block.data(), 80 + 135));
    EXPECT_FALSE(read_endpoint_changes(nullptr, 80 + 136));
}

TEST(NameLookup, DottedAddressesAndLocalhostResolveWithoutAResolver) {
    const auto literal = platform::look_up_ipv4("192.0.2.7");
    EXPECT_EQ(literal.outcome, platform::NameOutcome::found);
    EXPECT_EQ(literal.ipv4, std::vector<std::uint32_t>{0xC0000207});
    const auto local = platform::look_up_ipv4("localhost");
    ASSERT_EQ(local.outcome, platform::NameOutcome::found);
    EXPECT_EQ(local.ipv4.front(), 0x7F000001u);
    // Whether this machine's resolver answers "no such name" or cannot be reached, the
    // answer is never an address.
    EXPECT_NE(platform::look_up_ipv4("gateway.invalid").outcome, platform::NameOutcome::found);
}

}  // namespace
}  // namespace velnaro::wglinux
