#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/fake_platform.hpp"
#include "platform/paths.hpp"
#include "protected_storage/data_directory.hpp"

namespace velnaro {
namespace {

using platform::DirectoryTrust;

struct Levels {
    std::string program_data = join_path(fake::fake_root(), "ProgramData");
    std::string velnaro = join_path(program_data, "Velnaro");
    std::string data = join_path(velnaro, "vpn");
};

TEST(DataDirectoryTrust, EveryLevelFromTheRootMustBeTrustedBeforeTheNextIsCreated) {
    enum Where { root, program_data, velnaro, data };
    struct Case {
        const char* name;
        Where where;
        DirectoryTrust trust;
        DetailCode expected;
    };
    const std::vector<Case> cases = {
        {"foreign fake root", root, DirectoryTrust::untrusted,
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"ProgramData writable by others", program_data, DirectoryTrust::untrusted,
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"link at Velnaro", velnaro, DirectoryTrust::link,
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"uninspectable Velnaro", velnaro, DirectoryTrust::unknown,
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"file at Velnaro", velnaro, DirectoryTrust::not_a_directory,
         DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED},
        {"link at vpn", data, DirectoryTrust::link, DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"foreign vpn", data, DirectoryTrust::untrusted,
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"file at vpn", data, DirectoryTrust::not_a_directory,
         DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform fake;
        const Levels levels;
        const std::string at[] = {fake::fake_root(), levels.program_data, levels.velnaro,
                                  levels.data};
        fake.system.environment["PROGRAMDATA"] = levels.program_data;
        fake.files.planted[at[c.where]] = c.trust;
        const auto resolved = resolve_data_directory(fake.platform);
        ASSERT_FALSE(resolved);
        EXPECT_EQ(resolved.error(), c.expected);
        EXPECT_TRUE(fake.files.held.empty());
        // Nothing may be created beneath a level that was refused.
        if (c.where != data) {
            EXPECT_EQ(fake.files.path_kind(levels.data), platform::PathKind::missing);
        }
    }
}

TEST(DataDirectoryTrust, TheResolvedDirectoryIsHeldWithItsTwoOwnLevels) {
    fake::FakePlatform fake;
    const Levels levels;
    fake.system.environment["PROGRAMDATA"] = levels.program_data;
    const auto resolved = resolve_data_directory(fake.platform);
    ASSERT_TRUE(resolved);
    EXPECT_EQ(*resolved, levels.data);
    EXPECT_EQ(fake.files.held, (std::map<std::string, std::size_t>{{levels.data, 2}}));
    EXPECT_EQ(fake.files.path_kind(levels.data), platform::PathKind::directory);
}

}  // namespace
}  // namespace velnaro
