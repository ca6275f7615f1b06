// Links planted around the data directory, on real files (under Wine where it has links).
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/native.hpp"
#include "platform/paths.hpp"
#include "platform/windows/file_system.hpp"
#include "platform/windows/file_system_detail.hpp"
#include "platform/windows/owned_handle.hpp"
#include "platform/windows/wide.hpp"
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
    EXPECT_FALSE(files.restrict_access(path("identity.dat")));
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

// Owner and access list of a path as SDDL text; nothing when this system keeps none.
std::optional<std::wstring> descriptor_text(const std::string& file) {
    constexpr SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    const std::wstring wide = fs::u8path(file).wstring();
    DWORD size = 0;
    ::GetFileSecurityW(wide.c_str(), wanted, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    LocalMemory<wchar_t*> text;
    if (size == 0 || !::GetFileSecurityW(wide.c_str(), wanted, buffer.data(), size, &size) ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(buffer.data(), SDDL_REVISION_1,
                                                                wanted, text.out(), nullptr)) {
        return std::nullopt;
    }
    return std::wstring(text.get());
}

TEST(DirectoryDescriptor, OnlyTheSystemAdministratorsAndTrustedInstallerMayOwnOrChange) {
    struct Case {
        const wchar_t* sddl;
        DirectoryTrust expected;
    };
    const Case cases[] = {
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", DirectoryTrust::trusted},
        {L"O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)", DirectoryTrust::trusted},  // users read
        {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:(A;;FA;;;SY)",
         DirectoryTrust::trusted},
        {L"O:BAD:(A;OICIIO;FA;;;CO)(A;;FA;;;SY)", DirectoryTrust::trusted},  // children only
        {L"O:BAD:(D;;FA;;;WD)(A;;FA;;;SY)", DirectoryTrust::trusted},
        {L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)", DirectoryTrust::untrusted},
        {L"O:BUD:P(A;OICI;FA;;;SY)", DirectoryTrust::untrusted},
        {L"O:BAD:(A;;FA;;;SY)(A;;0x2;;;BU)", DirectoryTrust::untrusted},  // users add files
        {L"O:BAD:(A;;WD;;;AU)", DirectoryTrust::untrusted},
        {L"O:BAD:(A;;GA;;;WD)", DirectoryTrust::untrusted},
        {L"O:BAD:NO_ACCESS_CONTROL", DirectoryTrust::untrusted},
    };
    for (const Case& c : cases) {
        LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            c.sddl, SDDL_REVISION_1, descriptor.out(), nullptr))
            << from_wide(c.sddl);
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        ::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
        if (std::wstring_view(c.sddl).ends_with(L"NO_ACCESS_CONTROL") && dacl != nullptr) {
            std::cout << "this system reads NO_ACCESS_CONTROL as an empty list; case skipped\n";
            continue;
        }
        EXPECT_EQ(judge_directory_descriptor(descriptor.get()), c.expected) << from_wide(c.sddl);
    }
}

TEST_F(Win32Hardening, TheDataDirectoryIsCreatedWithTheServiceDescriptorAndHeld) {
    const std::string velnaro = path("programdata\\Velnaro");
    const std::string data = join_path(velnaro, "vpn");
    const auto held = files.hold_directory(data, 2);
    ASSERT_TRUE(held) << held.error().level;
    // Held without FILE_SHARE_DELETE: the directory cannot be renamed away.
    EXPECT_FALSE(::MoveFileW(fs::u8path(data).c_str(), fs::u8path(path("moved")).c_str()));
    const std::string file = join_path(data, "identity.dat");
    put(file, "sealed");
    EXPECT_TRUE(files.restrict_access(file));
    const auto texts = {descriptor_text(velnaro), descriptor_text(data), descriptor_text(file)};
    EXPECT_TRUE(files.remove_tree(data)) << "removing on purpose ends the hold";

    constexpr std::wstring_view kServiceOnly = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    for (const auto& text : texts) {
        if (!text || !text->starts_with(L"O:BA"))
            GTEST_SKIP() << "this system does not keep the owner it is given";
        EXPECT_EQ(*text, kServiceOnly);
    }
}

TEST_F(Win32Hardening, AnExistingLevelOthersMayChangeIsRefused) {
    const std::string velnaro = path("programdata\\Velnaro");
    fs::create_directory(fs::u8path(path("programdata")));
    LocalMemory<PSECURITY_DESCRIPTOR> open_to_users;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;BU)", SDDL_REVISION_1,
        open_to_users.out(), nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, open_to_users.get(), FALSE};
    ASSERT_TRUE(::CreateDirectoryW(fs::u8path(velnaro).c_str(), &attributes));
    const auto text = descriptor_text(velnaro);
    if (!text || text->find(L"BU") == std::wstring::npos)
        GTEST_SKIP() << "this system does not keep the access list given at creation";
    const auto held = files.hold_directory(join_path(velnaro, "vpn"), 2);
    ASSERT_FALSE(held);
    EXPECT_EQ(held.error().found, DirectoryTrust::untrusted);
    EXPECT_FALSE(fs::exists(fs::u8path(join_path(velnaro, "vpn"))));
}

}  // namespace
}  // namespace velnaro::platform
