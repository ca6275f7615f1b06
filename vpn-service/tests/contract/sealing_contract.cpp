#include <algorithm>
#include <string_view>
#include <vector>

#include "contract/contracts.hpp"

namespace velnaro::contract {

::testing::AssertionResult is_os_failure(const platform::OsError& error) {
    if (error.code == 0 || error.operation.empty())
        return ::testing::AssertionFailure()
               << "error " << error.code << " from '" << error.operation << "'";
    return ::testing::AssertionSuccess();
}

namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST_P(SealingContract, RoundTripKeepsBytesAndDescription) {
    auto sealing = GetParam().make();
    const std::vector<std::vector<std::uint8_t>> secrets = {
        {0x00}, bytes_of("velnaro-dpapi-self-test"), std::vector<std::uint8_t>(4096, 0xA5)};
    const std::u16string descriptions[] = {u"VelnaroTunnel", u"Velnaro VPN device identity",
                                           u"d\u00e9j\u00e0 \U0001F512"};
    for (const auto& secret : secrets) {
        for (const auto& description : descriptions) {
            auto blob = sealing->protect(secret, description);
            ASSERT_TRUE(blob) << blob.error();
            auto opened = sealing->unprotect(*blob);
            ASSERT_TRUE(opened) << opened.error();
            EXPECT_TRUE(std::ranges::equal(opened->data, secret));
            EXPECT_EQ(opened->description, description);
        }
    }
}

TEST_P(SealingContract, DamagedOrForeignBlobsAreRefusedWithTheSystemsError) {
    auto sealing = GetParam().make();
    auto blob = sealing->protect(bytes_of("secret"), u"VelnaroTunnel");
    ASSERT_TRUE(blob) << blob.error();
    auto tail_flipped = *blob;
    tail_flipped.back() ^= 0x01;
    auto middle_flipped = *blob;
    middle_flipped[middle_flipped.size() / 2] ^= 0x01;
    const std::vector<std::vector<std::uint8_t>> refused = {
        tail_flipped,
        middle_flipped,
        {blob->begin(), blob->end() - 1},
        bytes_of("not a blob at all, just some text")};
    for (const auto& damaged : refused) {
        auto opened = sealing->unprotect(damaged);
        ASSERT_FALSE(opened);
        EXPECT_TRUE(is_os_failure(opened.error()));
    }
}

TEST_P(SealingContract, ADescriptionWithAZeroInsideIsRefused) {
    auto sealing = GetParam().make();
    auto blob = sealing->protect(bytes_of("a"), std::u16string(u"a\0b", 3));
    ASSERT_FALSE(blob);
    EXPECT_TRUE(is_os_failure(blob.error()));
}

}  // namespace
}  // namespace velnaro::contract

namespace velnaro {
std::ostream& operator<<(std::ostream& out, const OsError& error) {
    return out << error.operation << " failed with " << error.code << " (" << error.subject << ")";
}
}  // namespace velnaro
