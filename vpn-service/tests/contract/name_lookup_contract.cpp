#include <gtest/gtest.h>

#include "platform/name_lookup.hpp"

// The system's own lookup, in every test binary (Linux and Wine); only names answered locally.
TEST(NameLookup, DottedAddressesAndLocalhostResolveWithoutAResolver) {
    using velnaro::platform::look_up_ipv4;
    EXPECT_EQ(look_up_ipv4("192.0.2.7").ipv4, std::vector<std::uint32_t>{0xC0000207});
    EXPECT_EQ(look_up_ipv4("localhost").ipv4.at(0), 0x7F000001u);
}
