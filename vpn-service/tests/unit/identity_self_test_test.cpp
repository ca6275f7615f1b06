#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fake/fake_components.hpp"
#include "fake/fake_platform.hpp"
#include "identity/identity_lifecycle.hpp"
#include "platform/paths.hpp"
#include "self_test/identity_self_tests.hpp"

namespace velnaro {
namespace {

// Opens blobs like the fake, but hands back the last byte changed.
class BitFlippingSealing final : public platform::Sealing {
  public:
    explicit BitFlippingSealing(platform::Sealing& inner) : inner_(inner) {}
    platform::OsResult<std::vector<std::uint8_t>> protect(
        std::span<const std::uint8_t> secret, std::u16string_view description) override {
        return inner_.protect(secret, description);
    }
    platform::OsResult<platform::OpenedBlob> unprotect(
        std::span<const std::uint8_t> blob) override {
        auto opened = inner_.unprotect(blob);
        if (opened && !opened->data.empty())
            opened->data.back() ^= 0x01;
        return opened;
    }

  private:
    platform::Sealing& inner_;
};

TEST(IdentityCryptoSelfTest, PassesInMemoryAndReportsTheFirstFailure) {
    struct Case {
        const char* fault;
        std::optional<DetailCode> expected;
    };
    for (const Case& c : {Case{nullptr, std::nullopt},
                          Case{"executable_path", DetailCode::EXECUTABLE_PATH_UNAVAILABLE},
                          Case{"random_bytes", DetailCode::KEY_GENERATION_FAILED},
                          Case{"protect", DetailCode::DPAPI_PROTECT_FAILED},
                          Case{"unprotect", DetailCode::DPAPI_UNPROTECT_FAILED}}) {
        fake::FakePlatform fake;
        fake::install_fake_components(fake);
        const auto files_before = fake.files.all_files();
        if (c.fault)
            fake.faults.fail_nth(c.fault);
        const Outcome<void> outcome = identity_crypto_self_test(fake.runtime);
        const char* name = c.fault ? c.fault : "none";
        if (c.expected) {
            ASSERT_FALSE(outcome) << name;
            EXPECT_EQ(outcome.error(), *c.expected) << name;
        } else {
            EXPECT_TRUE(outcome) << name;
        }
        EXPECT_EQ(fake.files.all_files(), files_before) << name;
        EXPECT_EQ(fake.faults.count("create_new_file"), 0) << name;
    }
}

TEST(IdentityCryptoSelfTest, NoticesAPrivateKeyThatComesBackChanged) {
    fake::FakePlatform fake;
    fake::install_fake_components(fake);
    BitFlippingSealing flipping(fake.sealing);
    platform::Platform platform{fake.files, fake.system, flipping, fake.loader, fake.services};
    Runtime runtime{platform, fake.components};
    const Outcome<void> outcome = identity_crypto_self_test(runtime);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error(), DetailCode::IDENTITY_CRYPTO_ROUNDTRIP_FAILED);
}

TEST(IdentityCryptoSelfTest, WithoutComponentsFailsWithTheirCode) {
    fake::FakePlatform fake;
    fake.system.executable = join_path(fake::fake_root(), "vpn-service");
    const Outcome<void> outcome = identity_crypto_self_test(fake.runtime);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error(), DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
}

class IdentitySelfTest : public ::testing::Test {
  protected:
    IdentitySelfTest() {
        fake::install_fake_components(fake);
        fake.system.environment["PROGRAMDATA"] = program_data;
    }

    std::map<std::string, std::vector<std::uint8_t>> files_under(const std::string& root) {
        std::map<std::string, std::vector<std::uint8_t>> found;
        for (const auto& [path, content] : fake.files.files) {
            if (path.starts_with(root))
                found[path] = content;
        }
        return found;
    }

    fake::FakePlatform fake;
    std::string program_data = join_path(fake::fake_root(), "ProgramData");
    std::string directory = join_path(join_path(program_data, "Velnaro"), "vpn");
};

TEST_F(IdentitySelfTest, OnAnEmptyMachineCreatesAnIdentityAndRemovesIt) {
    const auto result = identity_self_test(fake.runtime);
    EXPECT_EQ(result, (IdentitySelfTestResult{true, true, 1u, std::nullopt}));
    EXPECT_EQ(fake::fake_component_calls().generate_keypair, 1);
    EXPECT_EQ(fake.files.path_kind(directory), platform::PathKind::missing);
    EXPECT_EQ(fake.files.path_kind(join_path(program_data, "Velnaro")),
              platform::PathKind::missing);
    EXPECT_EQ(fake.files.path_kind(program_data), platform::PathKind::directory);
    EXPECT_TRUE(files_under(program_data).empty());
}

TEST_F(IdentitySelfTest, KeepsAParentThatHoldsSomethingElse) {
    const std::string services = join_path(join_path(program_data, "Velnaro"), "services");
    fake.files.create_directories(services);
    EXPECT_TRUE(identity_self_test(fake.runtime).success);
    EXPECT_EQ(fake.files.path_kind(directory), platform::PathKind::missing);
    EXPECT_EQ(fake.files.path_kind(services), platform::PathKind::directory);
}

TEST_F(IdentitySelfTest, LeavesEverythingThatWasThereBeforeByteForByte) {
    ASSERT_TRUE(ensure_identity(fake.runtime, directory));
    ASSERT_TRUE(prepare_rotation(fake.runtime, directory));
    ASSERT_TRUE(commit_rotation(fake.runtime, directory));
    ASSERT_TRUE(prepare_rotation(fake.runtime, directory));
    fake.files.put_file(join_path(directory, "VelnaroTunnel.conf.dpapi"), "sealed config");
    const auto before = files_under(program_data);
    ASSERT_EQ(before.size(), 4u);

    const auto result = identity_self_test(fake.runtime);
    EXPECT_EQ(result, (IdentitySelfTestResult{true, true, 2u, std::nullopt}));
    EXPECT_EQ(files_under(program_data), before);
}

TEST_F(IdentitySelfTest, RemovesOnlyTheFilesThisRunAdded) {
    struct Case {
        const char* name;
        std::vector<std::string> present_before;  // from a complete identity
    };
    const std::vector<Case> cases = {
        {"only a stored configuration", {"VelnaroTunnel.conf.dpapi"}},
        {"identity without metadata", {"identity.dat"}},
        {"empty directory", {}},
    };
    for (const auto& c : cases) {
        fake::FakePlatform local;
        fake::install_fake_components(local);
        local.system.environment["PROGRAMDATA"] = program_data;
        ASSERT_TRUE(ensure_identity(local.runtime, directory)) << c.name;
        local.files.put_file(join_path(directory, "VelnaroTunnel.conf.dpapi"), "sealed");
        const auto complete = *local.files.list_directory(directory);
        for (const auto& name : complete) {
            if (std::find(c.present_before.begin(), c.present_before.end(), name) ==
                c.present_before.end()) {
                local.files.delete_file(join_path(directory, name));
            }
        }
        const auto names_before = *local.files.list_directory(directory);

        const auto result = identity_self_test(local.runtime);
        EXPECT_TRUE(result.success) << c.name;
        ASSERT_EQ(local.files.path_kind(directory), platform::PathKind::directory) << c.name;
        EXPECT_EQ(*local.files.list_directory(directory), names_before) << c.name;
    }
}

TEST_F(IdentitySelfTest, FailuresAreReportedAndCleanedUpAfter) {
    struct Case {
        const char* operation;
        int nth;
        DetailCode expected;
    };
    for (const Case& c : {Case{"protect", 1, DetailCode::DPAPI_PROTECT_FAILED},
                          Case{"create_new_file", 2, DetailCode::IDENTITY_WRITE_FAILED},
                          Case{"restrict_access", 3, DetailCode::SECURE_PATH_ACL_FAILED},
                          Case{"read_file", 1, DetailCode::IDENTITY_READ_FAILED},
                          Case{"hold_directory", 1, DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE}}) {
        fake::FakePlatform local;
        fake::install_fake_components(local);
        local.system.environment["PROGRAMDATA"] = program_data;
        local.faults.fail_nth(c.operation, c.nth);
        const auto result = identity_self_test(local.runtime);
        EXPECT_EQ(result, (IdentitySelfTestResult{false, false, std::nullopt, c.expected}))
            << c.operation;
        EXPECT_EQ(local.files.path_kind(directory), platform::PathKind::missing) << c.operation;
    }
}

TEST_F(IdentitySelfTest, CleanUpErrorsDoNotChangeTheResult) {
    fake.faults.fail_always("delete_file");
    fake.faults.fail_always("remove_tree");
    const auto result = identity_self_test(fake.runtime);
    EXPECT_EQ(result, (IdentitySelfTestResult{true, true, 1u, std::nullopt}));
}

TEST_F(IdentitySelfTest, UnusableProgramDataIsReportedWithoutTouchingTheDisk) {
    fake.system.environment["PROGRAMDATA"] = "relative";
#ifdef _WIN32
    fake.system.environment.erase("PROGRAMDATA");
#endif
    const int directories_made = fake.faults.count("create_directories");
    const auto result = identity_self_test(fake.runtime);
    EXPECT_EQ(result, (IdentitySelfTestResult{false, false, std::nullopt,
                                              DetailCode::PROGRAMDATA_UNAVAILABLE}));
    EXPECT_EQ(fake.faults.count("create_directories"), directories_made);
    EXPECT_EQ(fake.faults.count("hold_directory"), 0);
}

TEST(IdentitySelfTestJson, WritesTheMembersInTheirOrder) {
    EXPECT_EQ(identity_self_test_json({true, true, 1u, std::nullopt}),
              R"({"success":true,"stableAfterReload":true,"keyVersion":1,"detailCode":null})");
    EXPECT_EQ(
        identity_self_test_json({true, true, 4294967295u, std::nullopt}),
        R"({"success":true,"stableAfterReload":true,"keyVersion":4294967295,"detailCode":null})");
    EXPECT_EQ(
        identity_self_test_json({false, false, std::nullopt, DetailCode::PROGRAMDATA_UNAVAILABLE}),
        R"({"success":false,"stableAfterReload":false,"keyVersion":null,"detailCode":"PROGRAMDATA_UNAVAILABLE"})");
}

}  // namespace
}  // namespace velnaro
