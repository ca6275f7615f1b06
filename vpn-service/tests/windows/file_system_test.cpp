// windows.h first: the header after it relies on its declarations.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/secret_buffer.hpp"
#include "platform/paths.hpp"
#include "platform/windows/file_system.hpp"

namespace velnaro::platform {
namespace {

namespace fs = std::filesystem;

class Win32FileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto temporary = files.temporary_directory();
        ASSERT_TRUE(temporary);
        static int next = 0;
        root = join_path(*temporary, "velnaro-fs-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                         std::to_string(next++));
        fs::remove_all(fs::u8path(root));
        ASSERT_TRUE(fs::create_directory(fs::u8path(root)));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(fs::u8path(root), ignored);
    }

    std::string path(std::string_view name) const { return join_path(root, name); }
    void put(const std::string& file, std::string_view content) const {
        std::ofstream(fs::u8path(file), std::ios::binary) << content;
    }
    std::string text(const std::string& file) const {
        auto bytes = files.read_file(file, 1 << 20);
        return bytes ? std::string(bytes->begin(), bytes->end()) : "<unreadable>";
    }
    bool exists(std::string_view name) const { return fs::exists(fs::u8path(path(name))); }

    mutable Win32FileSystem files;
    std::string root;
};

TEST_F(Win32FileSystemTest, CreateNewWritesAFileAndRefusesAnExistingOne) {
    const std::string file = path("secret.bin");
    auto handle = files.create_new_file(file);
    ASSERT_TRUE(handle);
    const std::string content = "sealed bytes";
    EXPECT_EQ(files.write_file(*handle, as_bytes(content)), content.size());
    EXPECT_TRUE(files.flush_file(*handle));
    files.close_file(*handle);
    EXPECT_EQ(text(file), content);
    EXPECT_FALSE(files.create_new_file(file));
    EXPECT_EQ(text(file), content) << "a refused create must not truncate";
    EXPECT_FALSE(files.create_new_file(path("missing-dir\\f")));
}

TEST_F(Win32FileSystemTest, HandlesThatWereNeverIssuedAndZeroBytesInPathsAreRefused) {
    EXPECT_FALSE(files.write_file(FileHandle{}, as_bytes("x")));
    EXPECT_FALSE(files.flush_file(FileHandle{}));
    const std::string with_zero = path("a") + std::string(1, '\0') + "b";
    EXPECT_FALSE(files.create_new_file(with_zero));
    EXPECT_FALSE(files.create_directories(with_zero));
    EXPECT_FALSE(exists("a"));
}

TEST_F(Win32FileSystemTest, ReadFileStopsOneByteAfterTheLimit) {
    const std::size_t cases[][3] = {
        {0, 10, 0}, {10, 10, 10}, {11, 10, 11}, {100, 10, 11}, {100000, 70000, 70001}};
    for (const auto& c : cases) {
        const std::string file = path("data-" + std::to_string(c[0]));
        put(file, std::string(c[0], 'z'));
        auto bytes = files.read_file(file, c[1]);
        ASSERT_TRUE(bytes) << c[0];
        EXPECT_EQ(bytes->size(), c[2]) << c[0] << "/" << c[1];
    }
    EXPECT_FALSE(files.read_file(root, 10));
    EXPECT_FALSE(files.read_file(path("missing"), 10));
}

TEST_F(Win32FileSystemTest, PathKindAndDeleteTellFilesFromDirectories) {
    put(path("file"), "x");
    fs::create_directory(fs::u8path(path("dir")));
    EXPECT_EQ(files.path_kind(path("file")), PathKind::regular_file);
    EXPECT_EQ(files.path_kind(path("dir")), PathKind::directory);
    EXPECT_EQ(files.path_kind(path("missing")), PathKind::missing);
    EXPECT_FALSE(files.delete_file(path("dir")));
    EXPECT_TRUE(files.delete_file(path("file")));
    EXPECT_FALSE(files.delete_file(path("file")));
    EXPECT_EQ(files.path_kind(path("file")), PathKind::missing);
}

TEST_F(Win32FileSystemTest, MoveModesAndAnExistingTarget) {
    struct Case {
        MoveMode mode;
        bool target_exists;
        bool moved;
    };
    const Case cases[] = {
        {MoveMode::replace, true, true},
        {MoveMode::replace_write_through, false, true},
        {MoveMode::replace_write_through, true, true},
        {MoveMode::no_replace_write_through, false, true},
        {MoveMode::no_replace_write_through, true, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string from = path("from" + std::to_string(n));
        const std::string to = path("to" + std::to_string(n++));
        put(from, "new");
        if (c.target_exists)
            put(to, "old");
        EXPECT_EQ(files.move_file(from, to, c.mode), c.moved) << n;
        EXPECT_EQ(text(to), c.moved ? "new" : "old") << n;
    }
}

TEST_F(Win32FileSystemTest, CreateDirectoriesLevelByLevel) {
    const std::string deep = path("a\\b/c\\d");
    ASSERT_TRUE(files.create_directories(deep));
    EXPECT_TRUE(files.create_directories(deep)) << "an existing directory is success";
    EXPECT_EQ(files.path_kind(path("a\\b\\c\\d")), PathKind::directory);
    put(path("plain"), "x");
    EXPECT_FALSE(files.create_directories(path("plain\\sub")));
}

TEST_F(Win32FileSystemTest, CanonicalDirectoryIsTheLongFormOfTheSameDirectory) {
    fs::create_directories(fs::u8path(path("real\\inner")));
    put(path("file"), "x");
    auto canonical = files.canonical_directory(path("real\\inner"));
    ASSERT_TRUE(canonical);
    EXPECT_EQ(canonical->rfind("\\\\?\\", 0), 0u) << *canonical;
    EXPECT_EQ(files.canonical_directory(path("real\\..\\real\\inner\\")), canonical);
    EXPECT_EQ(files.canonical_directory(*canonical), canonical);
    EXPECT_FALSE(files.canonical_directory(path("file")));
    EXPECT_FALSE(files.canonical_directory(path("missing")));
}

TEST_F(Win32FileSystemTest, ListDirectoryGivesNamesWithoutDotEntries) {
    put(path("a"), "1");
    fs::create_directory(fs::u8path(path("b")));
    put(path("\xc3\xa9t\xc3\xa9"), "2");
    auto names = files.list_directory(root);
    ASSERT_TRUE(names);
    std::sort(names->begin(), names->end());
    EXPECT_EQ(*names, (std::vector<std::string>{"a", "b", "\xc3\xa9t\xc3\xa9"}));
    EXPECT_EQ(files.list_directory(path("b")), std::vector<std::string>{});
    EXPECT_FALSE(files.list_directory(path("missing")));
}

TEST_F(Win32FileSystemTest, RemoveTreeTakesNestedAndReadOnlyEntries) {
    fs::create_directories(fs::u8path(path("tree\\sub\\deeper")));
    put(path("tree\\sub\\deeper\\f"), "x");
    put(path("tree\\ro"), "x");
    ASSERT_TRUE(
        ::SetFileAttributesW(fs::u8path(path("tree\\ro")).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(files.remove_tree(path("tree")));
    EXPECT_FALSE(exists("tree"));
    put(path("file"), "x");
    EXPECT_FALSE(files.remove_tree(path("file")));
    EXPECT_FALSE(files.remove_tree(path("missing")));
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
    EXPECT_EQ(files.restrict_access(path("missing")), AccessResult::failed);
    for (const char* name : {"file", "dir"}) {
        const auto before = access_list_text(path(name));
        ASSERT_EQ(files.restrict_access(path(name)), AccessResult::ok) << name;
        ASSERT_EQ(files.restrict_access(path(name)), AccessResult::ok) << name << ", twice";
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

TEST_F(Win32FileSystemTest, TemporaryDirectoryIsAnExistingDirectoryWithoutTrailingSeparator) {
    auto temporary = files.temporary_directory();
    ASSERT_TRUE(temporary);
    EXPECT_TRUE(is_absolute_path(*temporary));
    EXPECT_NE(temporary->back(), '\\');
    EXPECT_EQ(files.path_kind(*temporary), PathKind::directory);
}

}  // namespace
}  // namespace velnaro::platform
