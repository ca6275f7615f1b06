#include <gtest/gtest.h>

#include "core/paths.hpp"
#include "core/secret_buffer.hpp"

namespace velnaro {
namespace {

TEST(SecretBuffer, WipesTheWholeCapacityBeforeRelease) {
    // Observe the freed block through the allocator itself: deallocate must zero it.
    WipingAllocator<std::uint8_t> allocator;
    std::uint8_t* block = allocator.allocate(64);
    std::fill(block, block + 64, 0xAB);
    secure_wipe(block, 64);
    EXPECT_TRUE(is_all_zero({block, 64}));
    allocator.deallocate(block, 64);

    SecretBuffer buffer;
    append_text(buffer, "secret");
    EXPECT_EQ(as_text(buffer), "secret");
}

TEST(SecretArray, ComparesAndWipes) {
    SecretArray<32> a;
    a.data()[0] = 7;
    SecretArray<32> b = a;
    EXPECT_EQ(a, b);
    b.wipe();
    EXPECT_TRUE(is_all_zero(b.span()));
    EXPECT_FALSE(is_all_zero(a.span()));
}

TEST(Paths, AbsoluteRuleOfThePlatform) {
#ifdef _WIN32
    for (const char* yes : {"C:\\x", "c:/x", "\\\\server\\share", "\\\\server\\share\\x",
                            "//server/share", "\\\\?\\C:\\x", "\\\\.\\pipe\\x"})
        EXPECT_TRUE(is_absolute_path(yes)) << yes;
    // A UNC path needs both a server and a share name.
    for (const char* no :
         {"", "x", "C:", "C:x", "\\x", "/x", "identity.dat", "\\\\", "\\\\server", "\\\\server\\",
          "\\\\\\share", "\\\\server\\\\share", "\\\\.", "\\\\?\\"})
        EXPECT_FALSE(is_absolute_path(no)) << no;
    EXPECT_EQ(join_path("C:\\data", "vpn"), "C:\\data\\vpn");
    EXPECT_EQ(parent_directory("C:\\svc.exe"), "C:\\");
#else
    for (const char* yes : {"/", "/x", "//x"})
        EXPECT_TRUE(is_absolute_path(yes)) << yes;
    for (const char* no : {"", "x", "./x", "identity.dat", "C:\\x"})
        EXPECT_FALSE(is_absolute_path(no)) << no;
    EXPECT_EQ(join_path("/var/lib", "Velnaro"), "/var/lib/Velnaro");
    EXPECT_EQ(join_path("/var/lib/", "Velnaro"), "/var/lib/Velnaro");
    EXPECT_EQ(parent_directory("/opt/vpn/vpn-service"), "/opt/vpn");
    EXPECT_EQ(parent_directory("/vpn-service"), "/");
    EXPECT_EQ(parent_directory("vpn-service"), std::nullopt);
    EXPECT_EQ(file_name("/a/b/VelnaroTunnel.conf.dpapi"), "VelnaroTunnel.conf.dpapi");
#endif
}

}  // namespace
}  // namespace velnaro
