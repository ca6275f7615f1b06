// Links planted around the data directory, on real files (under Wine where it has links).
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "core/paths.hpp"
#include "platform/native.hpp"
#include "platform/windows/file_system.hpp"
#include "protected_storage/data_directory.hpp"

namespace velnaro::platform {
namespace {

namespace fs = std::filesystem;

class Win32Hardening : public ::testing::Test {
  protected:
    void SetUp() override {
        auto temporary = files.temporary_directory();
        ASSERT_TRUE(temporary);
        static int next = 0;
        root = join_path(*temporary, "velnaro-harden-" + std::to_string(::GetCurrentProcessId()) +
                                         "-" + std::to_string(next++));
        fs::remove_all(fs::u8path(root));
        ASSERT_TRUE(fs::create_directory(fs::u8path(root)));
        fs::create_directory(fs::u8path(path("outside")));
        put(path("outside\\victim"), "victim content");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(fs::u8path(root), ignored);
    }

    std::string path(std::string_view name) const { return join_path(root, name); }
    static void put(const std::string& file, std::string_view content) {
        std::ofstream(fs::u8path(file), std::ios::binary) << content;
    }
    static std::string raw_text(const std::string& file) {
        std::ifstream in(fs::u8path(file), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Plants a link, or tells why this system cannot have one. Wine 8 answers success
    // without creating anything, so the link is looked for afterwards.
    static std::optional<std::string> link(const std::string& at, const std::string& target,
                                           bool directory) {
        const DWORD flags = directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
        if (!::CreateSymbolicLinkW(fs::u8path(at).c_str(), fs::u8path(target).c_str(), flags))
            return "the call failed with error " + std::to_string(::GetLastError());
        const DWORD planted = attributes(at);
        if (planted == INVALID_FILE_ATTRIBUTES || !(planted & FILE_ATTRIBUTE_REPARSE_POINT))
            return "the call succeeded but created no link";
        return std::nullopt;
    }
    static DWORD attributes(const std::string& file) {
        return ::GetFileAttributesW(fs::u8path(file).c_str());
    }

    mutable Win32FileSystem files;
    std::string root;
};

#define PLANT_OR_SKIP(at, target, directory)            \
    if (auto error = link((at), (target), (directory))) \
    GTEST_SKIP() << "symbolic links are not available here: " << *error

TEST_F(Win32Hardening, DirectoryTrustSeesTheLinkNotItsTarget) {
    PLANT_OR_SKIP(path("dir-link"), path("outside"), true);
    EXPECT_EQ(files.directory_trust(path("dir-link")), DirectoryTrust::link);
    EXPECT_EQ(files.directory_trust(path("outside")), DirectoryTrust::trusted);
    EXPECT_EQ(files.directory_trust(path("outside\\victim")), DirectoryTrust::not_a_directory);
    EXPECT_EQ(files.directory_trust(path("missing")), DirectoryTrust::missing);
}

TEST_F(Win32Hardening, AFileLinkIsNeitherReadNorSecuredNorCreatedThrough) {
    PLANT_OR_SKIP(path("identity.dat"), path("outside\\victim"), false);
    EXPECT_FALSE(files.read_file(path("identity.dat"), 1 << 10));
    EXPECT_TRUE(files.read_file(path("outside\\victim"), 1 << 10)) << "the target is readable";

    const DWORD before = attributes(path("outside\\victim"));
    EXPECT_EQ(files.restrict_access(path("identity.dat")), AccessResult::failed);
    EXPECT_EQ(attributes(path("outside\\victim")), before);
    EXPECT_EQ(raw_text(path("outside\\victim")), "victim content");

    PLANT_OR_SKIP(path("dangling"), path("outside\\absent"), false);
    EXPECT_FALSE(files.create_new_file(path("dangling")));
    EXPECT_FALSE(fs::exists(fs::u8path(path("outside\\absent"))));
}

TEST_F(Win32Hardening, DeletingALinkLeavesItsTarget) {
    PLANT_OR_SKIP(path("metadata.json"), path("outside\\victim"), false);
    EXPECT_TRUE(files.delete_file(path("metadata.json")));
    EXPECT_EQ(attributes(path("metadata.json")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(raw_text(path("outside\\victim")), "victim content");
}

TEST_F(Win32Hardening, ALinkedVelnaroLevelIsRefused) {
    const std::string program_data = path("programdata");
    fs::create_directory(fs::u8path(program_data));
    PLANT_OR_SKIP(join_path(program_data, "Velnaro"), path("outside"), true);
    NativePlatform native;
    const std::wstring wide = fs::u8path(program_data).wstring();
    wchar_t saved[MAX_PATH + 1] = {};
    const DWORD saved_length = ::GetEnvironmentVariableW(L"PROGRAMDATA", saved, MAX_PATH + 1);
    ::SetEnvironmentVariableW(L"PROGRAMDATA", wide.c_str());
    const auto resolved = resolve_data_directory(native.get());
    ::SetEnvironmentVariableW(L"PROGRAMDATA", saved_length > 0 ? saved : nullptr);
    ASSERT_FALSE(resolved);
    EXPECT_EQ(resolved.error(), DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE);
    EXPECT_FALSE(fs::exists(fs::u8path(path("outside\\vpn"))));
}

}  // namespace
}  // namespace velnaro::platform
