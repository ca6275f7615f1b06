#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/paths.hpp"
#include "platform/posix/file_system.hpp"
#include "posix/scratch_folder.hpp"

namespace velnaro::platform {
namespace {

namespace fs = std::filesystem;
constexpr TrustedOwners kSelfTest = TrustedOwners::service_and_running_account;

// Who could swap a file for another: each case builds a small tree in a private folder under
// the system's temporary folder (itself sticky and root's) and asks about one path in it.
TEST(ReplaceableByOthers, JudgesEveryLevelFromTheRoot) {
    struct Case {
        const char* name;
        std::function<std::string(const std::string& root)> arrange;  // returns the path asked
        bool replaceable;
        bool needs_root = false;
    };
    const auto file_in = [](const std::string& folder, mode_t mode) {
        const std::string file = join_path(folder, "wireguard.so");
        std::ofstream(file) << "library";
        ::chmod(file.c_str(), mode);
        return file;
    };
    const auto folder_in = [](const std::string& root, mode_t mode) {
        const std::string folder = join_path(root, "vpn");
        ::mkdir(folder.c_str(), 0755);
        ::chmod(folder.c_str(), mode);
        return folder;
    };
    const std::vector<Case> cases = {
        {"private folder", [](const std::string& root) { return root; }, false},
        {"file 0644", [&](const std::string& root) { return file_in(root, 0644); }, false},
        {"file others may write", [&](const std::string& root) { return file_in(root, 0666); },
         true},
        {"file the group may write", [&](const std::string& root) { return file_in(root, 0664); },
         true},
        {"folder others may write",
         [&](const std::string& root) { return file_in(folder_in(root, 0777), 0644); }, true},
        // Like /tmp: nobody but the owner may rename or delete what they own in it.
        {"sticky folder above a root file",
         [&](const std::string& root) { return file_in(folder_in(root, 01777), 0644); }, false},
        {"sticky folder itself: others may add to it",
         [&](const std::string& root) { return folder_in(root, 01777); }, true},
        {"link",
         [&](const std::string& root) {
             const std::string link = join_path(root, "link.so");
             ::symlink(file_in(root, 0644).c_str(), link.c_str());
             return link;
         },
         true},
        {"owned by another account",
         [&](const std::string& root) {
             const std::string file = file_in(root, 0644);
             EXPECT_EQ(::chown(file.c_str(), 65534, 65534), 0);
             return file;
         },
         true, true},
        {"folder above owned by another account",
         [&](const std::string& root) {
             const std::string folder = folder_in(root, 0755);
             EXPECT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
             return file_in(folder, 0644);
         },
         true, true},
    };
    PosixFileSystem files;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && ::geteuid() != 0)
            continue;  // only root can give a file away
        std::string pattern = testing_support::scratch_folder("velnaro-replace");
        ASSERT_FALSE(pattern.empty());
        const auto result = files.replaceable_by_others(c.arrange(pattern), kSelfTest);
        ASSERT_TRUE(result.has_value()) << result.error().operation << " " << result.error().code;
        EXPECT_EQ(*result, c.replaceable);
        fs::remove_all(pattern);
    }
}

TEST(ReplaceableByOthers, APathThatCannotBeInspectedIsAnError) {
    PosixFileSystem files;
    const auto missing = files.replaceable_by_others("/nonexistent-velnaro/vpn-service", kSelfTest);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().code, static_cast<std::uint32_t>(ENOENT));
    EXPECT_EQ(missing.error().subject, "/nonexistent-velnaro/vpn-service");
    for (const char* unwalkable : {"vpn-service", "/usr/../tmp/x", ""})
        EXPECT_FALSE(files.replaceable_by_others(unwalkable, kSelfTest).has_value()) << unwalkable;
}

}  // namespace
}  // namespace velnaro::platform
