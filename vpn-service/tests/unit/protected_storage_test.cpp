#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/fake_platform.hpp"
#include "platform/paths.hpp"
#include "protected_storage/data_directory.hpp"
#include "protected_storage/sealed_blob.hpp"
#include "protected_storage/secret_file.hpp"

namespace velnaro {
namespace {

std::vector<std::uint8_t> bytes_of(std::size_t size, std::uint8_t value = 0x5A) {
    return std::vector<std::uint8_t>(size, value);
}

// A description of `count` three-byte UTF-8 characters (U+20AC).
std::string euro_signs(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += "\xE2\x82\xAC";
    return text;
}

TEST(DpapiProtect, SizeAndDescriptionLimitsAreCheckedBeforeThePlatform) {
    struct Case {
        std::size_t secret_size;
        std::string description;
        std::optional<DetailCode> expected;
    };
    const std::vector<Case> cases = {
        {1, "d", std::nullopt},
        {4096, std::string(kIdentityDescription), std::nullopt},
        {4097, "d", DetailCode::IDENTITY_SECRET_SIZE_INVALID},
        {0, "d", DetailCode::IDENTITY_SECRET_SIZE_INVALID},
        {0, "", DetailCode::IDENTITY_SECRET_SIZE_INVALID},  // the secret is checked first
        {8, "", DetailCode::DPAPI_DESCRIPTION_INVALID},
        {8, std::string(128, 'x'), std::nullopt},
        {8, std::string(129, 'x'), DetailCode::DPAPI_DESCRIPTION_INVALID},
        {8, euro_signs(42), std::nullopt},                           // 126 bytes
        {8, euro_signs(43), DetailCode::DPAPI_DESCRIPTION_INVALID},  // 129 bytes, 43 chars
        {8, std::string("a\0b", 3), DetailCode::DPAPI_DESCRIPTION_INVALID},
        {8, "\xFF", DetailCode::DPAPI_DESCRIPTION_INVALID},
    };
    for (const auto& c : cases) {
        fake::FakePlatform fake;
        const auto blob = seal_secret(fake.platform, bytes_of(c.secret_size), c.description);
        if (c.expected) {
            ASSERT_FALSE(blob) << c.secret_size << " " << c.description.size();
            EXPECT_EQ(blob.error(), *c.expected);
            EXPECT_EQ(fake.faults.count("protect"), 0);
        } else {
            EXPECT_TRUE(blob) << c.secret_size << " " << c.description.size();
        }
    }
}

TEST(DpapiProtect, PlatformFailureIsReported) {
    fake::FakePlatform fake;
    fake.faults.fail_nth("protect");
    const auto blob = seal_secret(fake.platform, bytes_of(4), kIdentityDescription);
    ASSERT_FALSE(blob);
    EXPECT_EQ(blob.error(), DetailCode::DPAPI_PROTECT_FAILED);
}

TEST(DpapiUnprotect, RoundTripsUnderTheSameDescription) {
    fake::FakePlatform fake;
    const auto secret = bytes_of(300, 0x11);
    const auto blob = seal_secret(fake.platform, secret, euro_signs(10));
    ASSERT_TRUE(blob);
    const auto opened = open_sealed_secret(fake.platform, *blob, euro_signs(10));
    ASSERT_TRUE(opened);
    EXPECT_TRUE(std::equal(opened->begin(), opened->end(), secret.begin(), secret.end()));
}

TEST(DpapiUnprotect, RefusesBlobsOfTheWrongPurposeOrShape) {
    fake::FakePlatform fake;
    const auto tunnel_blob = *seal_secret(fake.platform, bytes_of(8), kTunnelDescription);
    const auto identity_blob = *seal_secret(fake.platform, bytes_of(8), kIdentityDescription);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> blob;
        std::string expected_description;
        DetailCode expected;
    };
    const std::vector<Case> cases = {
        {"other purpose", tunnel_blob, std::string(kIdentityDescription),
         DetailCode::DPAPI_DESCRIPTION_MISMATCH},
        {"letter case", identity_blob, "velnaro vpn device identity",
         DetailCode::DPAPI_DESCRIPTION_MISMATCH},
        {"prefix only", identity_blob, "Velnaro VPN device",
         DetailCode::DPAPI_DESCRIPTION_MISMATCH},
        {"not a blob", bytes_of(40, 0x01), std::string(kIdentityDescription),
         DetailCode::DPAPI_UNPROTECT_FAILED},
        {"empty",
         {},
         std::string(kIdentityDescription),
         DetailCode::IDENTITY_PROTECTED_SIZE_INVALID},
        {"too long", bytes_of(16385), std::string(kIdentityDescription),
         DetailCode::IDENTITY_PROTECTED_SIZE_INVALID},
        {"empty description", identity_blob, "", DetailCode::DPAPI_DESCRIPTION_INVALID},
        {"long description", identity_blob, std::string(129, 'x'),
         DetailCode::DPAPI_DESCRIPTION_INVALID},
    };
    for (const auto& c : cases) {
        const auto opened = open_sealed_secret(fake.platform, c.blob, c.expected_description);
        ASSERT_FALSE(opened) << c.name;
        EXPECT_EQ(opened.error(), c.expected) << c.name;
    }
}

TEST(DpapiUnprotect, SizeLimitIsInclusiveAndChecksComeBeforeThePlatform) {
    fake::FakePlatform fake;
    (void)open_sealed_secret(fake.platform, bytes_of(16385), kIdentityDescription);
    EXPECT_EQ(fake.faults.count("unprotect"), 0);
    const auto at_limit = open_sealed_secret(fake.platform, bytes_of(16384), kIdentityDescription);
    EXPECT_EQ(fake.faults.count("unprotect"), 1);
    ASSERT_FALSE(at_limit);
    EXPECT_EQ(at_limit.error(), DetailCode::DPAPI_UNPROTECT_FAILED);
}

TEST(DpapiUnprotect, PlatformFailuresMapToTheirCodes) {
    fake::FakePlatform fake;
    const auto blob = *seal_secret(fake.platform, bytes_of(8), kIdentityDescription);
    fake.faults.fail_nth("unprotect");
    auto opened = open_sealed_secret(fake.platform, blob, kIdentityDescription);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), DetailCode::DPAPI_UNPROTECT_FAILED);

    fake.sealing.drop_description = true;
    opened = open_sealed_secret(fake.platform, blob, kIdentityDescription);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), DetailCode::DPAPI_DESCRIPTION_MISSING);
}

TEST(DpapiSelfTest, PassesAndReportsTheFirstFailure) {
    struct Case {
        const char* fault;
        std::optional<DetailCode> expected;
    };
    for (const Case& c :
         {Case{nullptr, std::nullopt}, Case{"protect", DetailCode::DPAPI_PROTECT_FAILED},
          Case{"unprotect", DetailCode::DPAPI_UNPROTECT_FAILED}}) {
        fake::FakePlatform fake;
        if (c.fault)
            fake.faults.fail_nth(c.fault);
        const Outcome<void> outcome = sealing_self_test(fake.platform);
        if (c.expected) {
            ASSERT_FALSE(outcome);
            EXPECT_EQ(outcome.error(), *c.expected);
        } else {
            EXPECT_TRUE(outcome);
        }
        EXPECT_TRUE(fake.files.all_files().empty());
    }
}

// A sealing that opens every blob to different bytes under the right description.
class LossySealing final : public platform::Sealing {
  public:
    platform::OsResult<std::vector<std::uint8_t>> protect(std::span<const std::uint8_t> secret,
                                                          std::u16string_view) override {
        return std::vector<std::uint8_t>(secret.begin(), secret.end());
    }
    platform::OsResult<platform::OpenedBlob> unprotect(
        std::span<const std::uint8_t> blob) override {
        platform::OpenedBlob opened;
        opened.data.assign(blob.begin(), blob.end() - 1);
        opened.description = u"Velnaro VPN device identity";
        return opened;
    }
};

TEST(DpapiSelfTest, DetectsOpenedBytesThatDifferFromThePlaintext) {
    fake::FakePlatform fake;
    LossySealing lossy;
    platform::Platform platform{fake.files, fake.system, lossy, fake.loader, fake.services};
    const Outcome<void> outcome = sealing_self_test(platform);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error(), DetailCode::DPAPI_ROUNDTRIP_FAILED);
}

std::string expected_data_directory(const std::string& program_data) {
    return join_path(join_path(program_data, "Velnaro"), "vpn");
}

TEST(ResolveDataDirectory, CreatesTheDirectoryAndIsStable) {
    fake::FakePlatform fake;
    const std::string program_data = join_path(fake::fake_root(), "ProgramData");
    fake.system.environment["PROGRAMDATA"] = program_data;
    const auto first = resolve_data_directory(fake.platform);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, expected_data_directory(program_data));
    EXPECT_EQ(fake.files.path_kind(*first), platform::PathKind::directory);
    EXPECT_EQ(resolve_data_directory(fake.platform), first);
}

TEST(ResolveDataDirectory, UnsetProgramDataFallsBackOnlyOffWindows) {
    fake::FakePlatform fake;
    const auto resolved = resolve_data_directory(fake.platform);
#ifdef _WIN32
    ASSERT_FALSE(resolved);
    EXPECT_EQ(resolved.error(), DetailCode::PROGRAMDATA_UNAVAILABLE);
    EXPECT_EQ(fake.faults.count("hold_directory"), 0);
#else
    ASSERT_TRUE(resolved);
    EXPECT_EQ(*resolved, "/var/lib/Velnaro/vpn");
#endif
}

TEST(ResolveDataDirectory, FailuresMapToTheirCodes) {
    struct Case {
        std::optional<std::string> program_data;
        const char* fault;
        DetailCode expected;
    };
    const std::string good = join_path(fake::fake_root(), "ProgramData");
    const std::vector<Case> cases = {
        {"ProgramData", nullptr, DetailCode::PROGRAMDATA_UNAVAILABLE},  // relative
        {good, "hold_directory.create", DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED},
        {good, "hold_directory", DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
    };
    for (const auto& c : cases) {
        fake::FakePlatform fake;
        if (c.program_data)
            fake.system.environment["PROGRAMDATA"] = *c.program_data;
        if (c.fault)
            fake.faults.fail_nth(c.fault);
        const auto resolved = resolve_data_directory(fake.platform);
        ASSERT_FALSE(resolved) << (c.fault ? c.fault : "relative");
        EXPECT_EQ(resolved.error(), c.expected);
    }
}

TEST(SecurePath, RestrictsExistingAbsolutePathsRepeatedly) {
    fake::FakePlatform fake;
    const std::string directory = join_path(fake::fake_root(), "data");
    const std::string file = join_path(directory, "identity.dat");
    fake.files.create_directories(directory);
    fake.files.put_file(file, "x");
    for (const auto& path : {directory, file, directory, file}) {
        EXPECT_TRUE(secure_path(fake.platform, path)) << path;
        EXPECT_TRUE(fake.files.is_restricted(path)) << path;
    }
}

TEST(SecurePath, RefusalsAndFailuresMapToTheirCodes) {
    const std::string existing = join_path(fake::fake_root(), "identity.dat");
    struct Case {
        std::string path;
        const char* fault;
        DetailCode expected;
        bool reaches_access_call;
    };
    const std::vector<Case> cases = {
        {"identity.dat", nullptr, DetailCode::SECURE_PATH_INVALID, false},
        {"", nullptr, DetailCode::SECURE_PATH_INVALID, false},
        {join_path(fake::fake_root(), "missing.dat"), nullptr, DetailCode::SECURE_PATH_INVALID,
         false},
        {existing + std::string("\0x", 2), nullptr, DetailCode::SECURE_PATH_INVALID, false},
#ifdef _WIN32
        {"\\identity.dat", nullptr, DetailCode::SECURE_PATH_INVALID, false},
        {"C:identity.dat", nullptr, DetailCode::SECURE_PATH_INVALID, false},
#endif
        {existing, "restrict_access.descriptor", DetailCode::SECURITY_DESCRIPTOR_INVALID, true},
        {existing, "restrict_access", DetailCode::SECURE_PATH_ACL_FAILED, true},
    };
    for (const auto& c : cases) {
        fake::FakePlatform fake;
        fake.files.put_file(existing, "x");
        if (c.fault)
            fake.faults.fail_nth(c.fault);
        const auto outcome = secure_path(fake.platform, c.path);
        ASSERT_FALSE(outcome) << c.path;
        EXPECT_EQ(outcome.error(), c.expected) << c.path;
        EXPECT_EQ(fake.faults.count("restrict_access.descriptor") > 0, c.reaches_access_call)
            << c.path;
        EXPECT_FALSE(fake.files.is_restricted(existing));
    }
}

const std::string kSecretDirectory = join_path(fake::fake_root(), "data");
const std::string kSecretPath = join_path(kSecretDirectory, "secret.dat");

// Answers as a caller does: the failure's one line, with its cause, then its code.
Outcome<void> write_secret(fake::FakePlatform& fake, std::string_view content, bool replace) {
    const std::string temporary = join_path(kSecretDirectory, "secret.tmp-1");
    const auto written =
        write_secret_file(fake.platform,
                          {.path = kSecretPath,
                           .temporary = temporary,
                           .replace = replace,
                           .write_failed = DetailCode::IDENTITY_WRITE_FAILED,
                           .move_failed = DetailCode::IDENTITY_METADATA_WRITE_FAILED},
                          as_bytes(content));
    if (written)
        return {};
    if (written.error().cause)
        platform::write_failure(fake.log, platform::LogPriority::warning, written.error(), "");
    return fail(written.error().code);
}

TEST(SecretFile, ContinuesPartialWritesAndEndsRestrictedUnderItsName) {
    fake::FakePlatform fake;
    ASSERT_TRUE(fake.files.create_directories(kSecretDirectory));
    fake.files.write_chunk = 3;
    ASSERT_TRUE(write_secret(fake, "0123456789abcdef", false));
    EXPECT_EQ(fake.files.file_text(kSecretPath), "0123456789abcdef");
    EXPECT_TRUE(fake.files.is_restricted(kSecretPath));
    EXPECT_EQ(*fake.files.list_directory(kSecretDirectory), std::vector<std::string>{"secret.dat"});
    EXPECT_EQ(fake.files.open_handles(), 0);
}

TEST(SecretFile, ReplacesOnlyWhenAskedTo) {
    fake::FakePlatform fake;
    ASSERT_TRUE(fake.files.create_directories(kSecretDirectory));
    fake.files.put_file(kSecretPath, "old");
    const Outcome<void> refused = write_secret(fake, "new", false);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), DetailCode::IDENTITY_METADATA_WRITE_FAILED);
    EXPECT_EQ(fake.files.file_text(kSecretPath), "old");
    ASSERT_TRUE(write_secret(fake, "new", true));
    EXPECT_EQ(fake.files.file_text(kSecretPath), "new");
    EXPECT_EQ(fake.files.all_files().size(), 1u);
}

// Every failure keeps the old file, closes the new one and leaves no temporary behind; the
// operating system's error is logged with the failure.
TEST(SecretFile, FailuresKeepTheOldFileAndLeaveNothingBehind) {
    // Creating, writing and flushing share the caller's write code.
    const auto expected_for = [](std::string_view fault) {
        if (fault == "restrict_access")
            return DetailCode::SECURE_PATH_ACL_FAILED;
        if (fault == "move_file")
            return DetailCode::IDENTITY_METADATA_WRITE_FAILED;
        return DetailCode::IDENTITY_WRITE_FAILED;
    };
    for (const char* fault :
         {"create_new_file", "write_file", "flush_file", "restrict_access", "move_file"}) {
        const DetailCode expected = expected_for(fault);
        fake::FakePlatform fake;
        ASSERT_TRUE(fake.files.create_directories(kSecretDirectory));
        fake.files.put_file(kSecretPath, "old");
        fake.faults.fail_nth(fault);
        const Outcome<void> written = write_secret(fake, "new", true);
        ASSERT_FALSE(written) << fault;
        EXPECT_EQ(written.error(), expected) << fault;
        EXPECT_EQ(fake.files.all_files(), std::vector<std::string>{kSecretPath}) << fault;
        EXPECT_EQ(fake.files.file_text(kSecretPath), "old") << fault;
        EXPECT_EQ(fake.files.open_handles(), 0) << fault;
        ASSERT_FALSE(fake.log.lines.empty()) << fault;
        EXPECT_EQ(fake.log.lines.back().code, expected) << fault;
        EXPECT_NE(fake.log.lines.back().os_error, 0) << fault;
    }
}

}  // namespace
}  // namespace velnaro
