#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/paths.hpp"
#include "fake/fake_platform.hpp"
#include "protected_storage/data_directory.hpp"

namespace velnaro {
namespace {

using platform::DirectoryTrust;

struct Levels {
    std::string program_data = join_path(fake::fake_root(), "ProgramData");
    std::string velnaro = join_path(program_data, "Velnaro");
    std::string data = join_path(velnaro, "vpn");
};

TEST(DataDirectoryTrust, EachLevelMustBeTrustedBeforeTheNextIsCreated) {
    struct Case {
        const char* name;
        bool at_parent;
        DirectoryTrust trust;
        DetailCode expected;
    };
    const std::vector<Case> cases = {
        {"link at Velnaro", true, DirectoryTrust::link, DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"foreign Velnaro", true, DirectoryTrust::untrusted,
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"uninspectable Velnaro", true, DirectoryTrust::unknown,
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"file at Velnaro", true, DirectoryTrust::not_a_directory,
         DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED},
        {"link at vpn", false, DirectoryTrust::link, DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"foreign vpn", false, DirectoryTrust::untrusted,
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"file at vpn", false, DirectoryTrust::not_a_directory,
         DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform fake;
        const Levels levels;
        fake.system.environment["PROGRAMDATA"] = levels.program_data;
        fake.files.planted[c.at_parent ? levels.velnaro : levels.data] = c.trust;
        const auto resolved = resolve_data_directory(fake.platform);
        ASSERT_FALSE(resolved);
        EXPECT_EQ(resolved.error(), c.expected);
        EXPECT_EQ(fake.faults.count("canonical_directory"), 0);
        if (c.at_parent) {
            // Nothing may be created beneath a level that was refused.
            EXPECT_EQ(fake.files.path_kind(levels.data), platform::PathKind::missing);
            EXPECT_EQ(fake.faults.count("create_directories"), 0);
        }
    }
}

TEST(DataDirectoryTrust, ALevelThatCannotBeInspectedAfterCreationIsRefused) {
    fake::FakePlatform fake;
    const Levels levels;
    fake.system.environment["PROGRAMDATA"] = levels.program_data;
    // The directory just created must still be inspected: between the two calls another
    // process could have put something else there.
    fake.faults.fail_nth("directory_trust", 2);
    const auto resolved = resolve_data_directory(fake.platform);
    ASSERT_FALSE(resolved);
    EXPECT_EQ(resolved.error(), DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE);
}

TEST(DataDirectoryTrust, TrustedExistingLevelsAreUsedWithoutCreatingAnything) {
    fake::FakePlatform fake;
    const Levels levels;
    fake.system.environment["PROGRAMDATA"] = levels.program_data;
    ASSERT_TRUE(fake.files.create_directories(levels.data));
    const int before = fake.faults.count("create_directories");
    const auto resolved = resolve_data_directory(fake.platform);
    ASSERT_TRUE(resolved);
    EXPECT_EQ(*resolved, levels.data);
    EXPECT_EQ(fake.faults.count("create_directories"), before);
}

}  // namespace
}  // namespace velnaro
