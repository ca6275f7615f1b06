// Who besides the administrators could replace a file: the rules on descriptors as Windows
// writes them, then real files under this system (Wine maps access lists onto mode bits).
// windows.h first: the headers after it rely on its declarations.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/paths.hpp"
#include "platform/windows/file_system.hpp"
#include "platform/windows/file_system_detail.hpp"
#include "platform/windows/replaceable.hpp"

namespace velnaro::platform {
namespace {

namespace fs = std::filesystem;
constexpr TrustedOwners kSelfTest = TrustedOwners::service_and_running_account;

struct Descriptor {
    explicit Descriptor(const wchar_t* sddl) {
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &value,
                                                               nullptr);
    }
    ~Descriptor() { ::LocalFree(value); }
    PSECURITY_DESCRIPTOR value = nullptr;
};

TEST(WindowsReplaceable, JudgesOwnerAndAccessList) {
    const struct {
        const wchar_t* sddl;
        bool named_object;  // the object asked about, or a folder above it
        bool replaceable;
    } cases[] = {
        // Program Files: TrustedInstaller's, users may read.
        {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
         L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
         true, false},
        // The system drive's root: users may create folders in it and own what they create.
        {L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;CI;LC;;;AU)"
         L"(A;OIIOCI;SDGXGWGR;;;AU)(A;OICIIO;GA;;;CO)",
         false, false},
        {L"O:SYD:(A;OICI;FA;;;SY)(A;CI;LC;;;AU)", true, true},  // adding beside the libraries
        {L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x100000;;;WD)", true, false},
        {L"O:BAD:(A;;FA;;;SY)(A;;FW;;;BU)", true, true},     // users may write the file
        {L"O:BAD:(A;;FA;;;SY)(A;;SD;;;BU)", false, true},    // ... or delete a folder above
        {L"O:BAD:(A;;FA;;;SY)(A;;WD;;;AU)", false, true},    // ... or rewrite its list
        {L"O:BAD:(A;;FA;;;SY)(A;;0x40;;;BU)", false, true},  // ... or delete what it holds
        {L"O:BAD:(D;;FA;;;BU)(A;;FA;;;SY)", true, false},    // deny entries take nothing
        {L"O:BUD:(A;;FA;;;SY)", true, true},                 // owned by the users
        {L"O:BAD:(A;;FA;;;SY)(A;IO;FA;;;BU)", true, false},  // only for children
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.sddl)));
        const Descriptor descriptor(c.sddl);
        ASSERT_NE(descriptor.value, nullptr);
        const auto replaceable = descriptor_lets_others_replace(descriptor.value, c.named_object, kSelfTest);
        ASSERT_TRUE(replaceable.has_value());
        EXPECT_EQ(*replaceable, c.replaceable);
    }
}

// An entry the judges do not read could grant anything: a callback entry giving everyone
// full access, built by hand since not every system parses such entries from text.
TEST(WindowsReplaceable, AnAllowingEntryOfAnUnreadKindIsUnsafeToBothJudges) {
    BYTE everyone[SECURITY_MAX_SID_SIZE] = {};
    BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof everyone;
    ASSERT_TRUE(::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
    size = sizeof administrators;
    ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
    alignas(DWORD) BYTE list[256] = {};
    auto* dacl = reinterpret_cast<PACL>(list);
    ASSERT_TRUE(::InitializeAcl(dacl, sizeof list, ACL_REVISION));
    ASSERT_TRUE(::AddAccessAllowedAce(dacl, ACL_REVISION, FILE_ALL_ACCESS, everyone));
    void* entry = nullptr;
    ASSERT_TRUE(::GetAce(dacl, 0, &entry));
    static_cast<ACE_HEADER*>(entry)->AceType = ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
    SECURITY_DESCRIPTOR descriptor{};
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorOwner(&descriptor, administrators, FALSE));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE));

    EXPECT_EQ(judge_directory_descriptor(&descriptor), DirectoryTrust::untrusted);
    const auto replaceable = descriptor_lets_others_replace(&descriptor, false, kSelfTest);
    ASSERT_TRUE(replaceable.has_value());
    EXPECT_TRUE(*replaceable);
}

TEST(WindowsReplaceable, RealFilesOfThisAccountAndOpenedToEveryone) {
    Win32FileSystem files;
    const auto temporary = files.temporary_directory();
    ASSERT_TRUE(temporary);
    const std::string folder =
        join_path(*temporary, "velnaro-replace-" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(fs::u8path(folder));
    ASSERT_TRUE(fs::create_directory(fs::u8path(folder)));
    const std::string file = join_path(folder, "wireguard.dll");
    std::ofstream(fs::u8path(file)) << "library";

    const auto before = files.replaceable_by_others(file, kSelfTest);
    ASSERT_TRUE(before.has_value()) << before.error().operation << " " << before.error().code;
    EXPECT_FALSE(*before);
    EXPECT_FALSE(files.replaceable_by_others(join_path(folder, "missing.dll"), kSelfTest).has_value());
    // What the installer asks: the service does not trust this account's own files.
    EXPECT_EQ(files.replaceable_by_others(file, TrustedOwners::service), true);

    Descriptor open_to_everyone(L"D:(A;;FA;;;WD)");
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(open_to_everyone.value, &present, &dacl, &defaulted));
    const std::wstring wide = fs::u8path(file).wstring();
    ASSERT_EQ(::SetNamedSecurityInfoW(const_cast<wchar_t*>(wide.c_str()), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    const auto after = files.replaceable_by_others(file, kSelfTest);
    ASSERT_TRUE(after.has_value());
    EXPECT_TRUE(*after) << "everyone may write the file";
    fs::remove_all(fs::u8path(folder));
}

}  // namespace
}  // namespace velnaro::platform
