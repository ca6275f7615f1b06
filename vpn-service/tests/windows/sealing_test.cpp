#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/windows/sealing.hpp"

namespace velnaro::platform {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(Win32SealingTest, RoundTripKeepsBytesAndDescription) {
    Win32Sealing sealing;
    const std::vector<std::vector<std::uint8_t>> secrets = {
        {0x00}, bytes_of("velnaro-dpapi-self-test"), std::vector<std::uint8_t>(4096, 0xA5)};
    const std::u16string descriptions[] = {u"VelnaroTunnel", u"Velnaro VPN device identity",
                                           u"d\u00e9j\u00e0 \U0001F512"};
    for (const auto& secret : secrets) {
        for (const auto& description : descriptions) {
            auto blob = sealing.protect(secret, description);
            ASSERT_TRUE(blob);
            auto opened = sealing.unprotect(*blob);
            ASSERT_TRUE(opened);
            EXPECT_TRUE(
                std::equal(opened->data.begin(), opened->data.end(), secret.begin(), secret.end()));
            EXPECT_EQ(opened->description, description);
        }
    }
}

TEST(Win32SealingTest, DamagedOrForeignBlobsAreRefused) {
    Win32Sealing sealing;
    auto blob = sealing.protect(bytes_of("secret"), u"VelnaroTunnel");
    ASSERT_TRUE(blob);
    auto tail_flipped = *blob;
    tail_flipped.back() ^= 0x01;
    EXPECT_FALSE(sealing.unprotect(tail_flipped));
    auto middle_flipped = *blob;
    middle_flipped[middle_flipped.size() / 2] ^= 0x01;
    EXPECT_FALSE(sealing.unprotect(middle_flipped));
    EXPECT_FALSE(sealing.unprotect(std::span(*blob).first(blob->size() - 1)));
    EXPECT_FALSE(sealing.unprotect(bytes_of("not a blob at all, just some text")));
}

TEST(Win32SealingTest, ADescriptionWithAZeroInsideIsRefused) {
    Win32Sealing sealing;
    EXPECT_FALSE(sealing.protect(bytes_of("a"), std::u16string(u"a\0b", 3)));
}

}  // namespace
}  // namespace velnaro::platform
