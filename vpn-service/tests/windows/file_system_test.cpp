// windows.h first: the header after it relies on its declarations.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "contract/file_system_contract.hpp"
#include "platform/paths.hpp"
#include "core/secret_buffer.hpp"
#include "platform/paths.hpp"
#include "platform/windows/file_system.hpp"

namespace velnaro::platform {
namespace {

namespace fs = std::filesystem;

// The Win32 implementation in a fresh directory under the system's temporary directory.
struct Win32FileEnvironment {
    Win32FileSystem system;
    std::string directory;

    Win32FileEnvironment() {
        auto temporary = system.temporary_directory();
        if (!temporary)
            return;
        static int next = 0;
        directory = join_path(*temporary, "velnaro-fs-" + std::to_string(::GetCurrentProcessId()) +
                                              "-" + std::to_string(next++));
        std::error_code ignored;
        fs::remove_all(fs::u8path(directory), ignored);
        if (!fs::create_directory(fs::u8path(directory), ignored))
            directory.clear();
    }
    ~Win32FileEnvironment() {
        std::error_code ignored;
        if (!directory.empty())
            fs::remove_all(fs::u8path(directory), ignored);
    }
    FileSystem& files() { return system; }
    std::string root() const { return directory; }
    void put(const std::string& path, std::string_view content) {
        std::ofstream(fs::u8path(path), std::ios::binary) << content;
    }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, FileSystemContract, ::testing::Types<Win32FileEnvironment>);

// What only the Win32 implementation promises: separators, long paths, read-only entries,
// access lists.
class Win32FileSystemTest : public FileSystemTest<Win32FileEnvironment> {
  protected:
    void put(const std::string& file, std::string_view content) { environment.put(file, content); }
    bool exists(std::string_view name) const { return fs::exists(fs::u8path(path(name))); }

    Win32FileSystem& files = environment.system;
};

TEST_F(Win32FileSystemTest, CreateDirectoriesTakesBothSeparators) {
    const std::string deep = path("a\\b/c\\d");
    ASSERT_TRUE(files.create_directories(deep));
    EXPECT_EQ(files.path_kind(path("a\\b\\c\\d")), PathKind::directory);
}

TEST_F(Win32FileSystemTest, CanonicalDirectoryIsTheLongFormOfTheSameDirectory) {
    fs::create_directories(fs::u8path(path("real\\inner")));
    auto canonical = files.canonical_directory(path("real\\inner"));
    ASSERT_TRUE(canonical);
    EXPECT_EQ(canonical->rfind("\\\\?\\", 0), 0u) << *canonical;
    EXPECT_EQ(files.canonical_directory(path("real\\..\\real\\inner\\")).value_or(""), *canonical);
}

TEST_F(Win32FileSystemTest, RemoveTreeTakesReadOnlyEntries) {
    fs::create_directories(fs::u8path(path("tree")));
    put(path("tree\\ro"), "x");
    ASSERT_TRUE(
        ::SetFileAttributesW(fs::u8path(path("tree\\ro")).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(files.remove_tree(path("tree")));
    EXPECT_FALSE(exists("tree"));
}

TEST_F(Win32FileSystemTest, RemoveTreeDoesNotEnterALinkedDirectory) {
    fs::create_directories(fs::u8path(path("outside")));
    put(path("outside\\keep"), "precious");
    fs::create_directories(fs::u8path(path("tree")));
    const std::wstring link = fs::u8path(path("tree\\link")).wstring();
    if (!::CreateSymbolicLinkW(link.c_str(), fs::u8path(path("outside")).c_str(),
                               SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        GTEST_SKIP() << "directory symbolic links are not available here (error "
                     << ::GetLastError() << ")";
    }
    EXPECT_TRUE(files.remove_tree(path("tree")));
    EXPECT_FALSE(exists("tree"));
    EXPECT_EQ(text(path("outside\\keep")), "precious");
}

// The access list of a path as text, or nothing when it cannot be read back.
std::optional<std::wstring> access_list_text(const std::string& path) {
    const std::wstring wide = fs::u8path(path).wstring();
    DWORD needed = 0;
    ::GetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<std::uint8_t> descriptor(needed);
    LPWSTR sddl = nullptr;
    if (needed == 0 ||
        !::GetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                            &needed) ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        return std::nullopt;
    }
    std::wstring text = sddl;
    ::LocalFree(sddl);
    return text;
}

TEST_F(Win32FileSystemTest, RestrictAccessLeavesOnlySystemAndAdministrators) {
    put(path("file"), "x");
    fs::create_directory(fs::u8path(path("dir")));
    for (const char* name : {"file", "dir"}) {
        const auto before = access_list_text(path(name));
        ASSERT_TRUE(files.restrict_access(path(name))) << name;
        const auto after = access_list_text(path(name));
        ASSERT_TRUE(before && after) << name;
        if (after->find(L";;;BA)") == std::wstring::npos) {
            // Wine keeps no access lists: it maps them onto Unix mode bits and reports a list
            // made from those. What still shows is that everyone else lost access.
            EXPECT_NE(before->find(L";;;WD)"), std::wstring::npos) << name;
            EXPECT_EQ(after->find(L";;;WD)"), std::wstring::npos) << name;
            continue;
        }
        EXPECT_EQ(*after, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)") << name;
    }
}

}  // namespace
}  // namespace velnaro::platform
