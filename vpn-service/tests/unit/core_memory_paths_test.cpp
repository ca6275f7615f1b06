#include <gtest/gtest.h>

#include "core/secret_buffer.hpp"
#include "platform/paths.hpp"

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

// Both grammars are plain text handling, so each is checked on every system.
TEST(Paths, WindowsGrammar) {
    constexpr PathStyle style = PathStyle::windows;
    for (const char* yes : {"C:\\x", "c:/x", "\\\\server\\share", "\\\\server\\share\\x",
                            "//server/share", "\\\\?\\C:\\x", "\\\\.\\pipe\\x"})
        EXPECT_TRUE(is_absolute_path(yes, style)) << yes;
    // A UNC path needs both a server and a share name.
    for (const char* no :
         {"", "x", "C:", "C:x", "\\x", "/x", "identity.dat", "\\\\", "\\\\server", "\\\\server\\",
          "\\\\\\share", "\\\\server\\\\share", "\\\\.", "\\\\?\\"})
        EXPECT_FALSE(is_absolute_path(no, style)) << no;
    EXPECT_EQ(join_path("C:\\data", "vpn", style), "C:\\data\\vpn");
    EXPECT_EQ(parent_directory("C:\\svc.exe", style), "C:\\");
    EXPECT_EQ(file_name("C:\\a/b\\tunnel.dll", style), "tunnel.dll");
}

TEST(Paths, PosixGrammar) {
    constexpr PathStyle style = PathStyle::posix;
    for (const char* yes : {"/", "/x", "//x"})
        EXPECT_TRUE(is_absolute_path(yes, style)) << yes;
    for (const char* no : {"", "x", "./x", "identity.dat", "C:\\x"})
        EXPECT_FALSE(is_absolute_path(no, style)) << no;
    EXPECT_EQ(join_path("/var/lib", "Velnaro", style), "/var/lib/Velnaro");
    EXPECT_EQ(join_path("/var/lib/", "Velnaro", style), "/var/lib/Velnaro");
    EXPECT_EQ(parent_directory("/opt/vpn/vpn-service", style), "/opt/vpn");
    EXPECT_EQ(parent_directory("/vpn-service", style), "/");
    EXPECT_EQ(parent_directory("vpn-service", style), std::nullopt);
    EXPECT_EQ(file_name("/a/b/VelnaroTunnel.conf.dpapi", style), "VelnaroTunnel.conf.dpapi");
    EXPECT_EQ(file_name("/a/b\\c", style), "b\\c");
}

TEST(Paths, TheSystemsOwnGrammarIsTheDefault) {
#ifdef _WIN32
    EXPECT_TRUE(is_absolute_path("C:\\x"));
    EXPECT_EQ(join_path("C:\\data", "vpn"), "C:\\data\\vpn");
#else
    EXPECT_FALSE(is_absolute_path("C:\\x"));
    EXPECT_EQ(join_path("/var/lib", "Velnaro"), "/var/lib/Velnaro");
#endif
}

}  // namespace
}  // namespace velnaro
