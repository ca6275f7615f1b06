#include <gtest/gtest.h>

#include <vector>

#include "configuration_block.hpp"
#include "uapi_text.hpp"

namespace velnaro::wglinux {
namespace {

// What the tunnel's follower hands to WireGuardSetConfiguration: one peer with its key, its
// new endpoint 192.168.77.3:51820 and the flags public key, endpoint and update only.
TEST(EndpointChange, CarriesOutOnlyAnEndpointChangeOfAnExistingPeer) {
    std::vector<std::uint8_t> block(80 + 136, 0);
    block[72] = 1;
    block[80] = 1 | 8 | 128;
    for (std::size_t i = 0; i < 32; ++i)
        block[80 + 8 + i] = static_cast<std::uint8_t>(i + 1);
    const std::uint8_t endpoint[] = {2, 0, 0xCA, 0x6C, 192, 168, 77, 3};
    std::copy(std::begin(endpoint), std::end(endpoint), block.begin() + 80 + 76);
    const auto changes = read_endpoint_changes(block.data(), 80 + 136);
    ASSERT_TRUE(changes && changes->size() == 1);
    EXPECT_EQ(as_text(build_uapi_endpoint_request((*changes)[0].public_key, (*changes)[0].address,
                                                  (*changes)[0].port)),
              "set=1\npublic_key=0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20"
              "\nendpoint=192.168.77.3:51820\n\n");

    // Interface field, replace peers, may add, replace or add networks, IPv6, a second peer.
    const std::pair<std::size_t, std::uint8_t> refused[] = {
        {0, 2}, {0, 8}, {80, 1 | 8}, {80, 1 | 8 | 128 | 32}, {80 + 76, 23}, {80 + 128, 1}, {72, 2}};
    for (const auto& [offset, value] : refused) {
        auto changed = block;
        changed[offset] = value;
        EXPECT_FALSE(read_endpoint_changes(changed.data(), 80 + 136)) << offset;
    }
    EXPECT_FALSE(read_endpoint_changes(block.data(), 80 + 135));
}

}  // namespace
}  // namespace velnaro::wglinux
