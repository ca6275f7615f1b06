#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "contract/file_system_contract.hpp"
#include "platform/paths.hpp"
#include "core/secret_buffer.hpp"
#include "platform/paths.hpp"
#include "platform/posix/file_system.hpp"

namespace velnaro::platform {
namespace {

namespace fs = std::filesystem;

// The POSIX implementation in a fresh directory under the system's temporary directory.
struct PosixFileEnvironment {
    PosixFileSystem system;
    std::string directory;

    PosixFileEnvironment() {
        std::string pattern = (fs::temp_directory_path() / "velnaro-fs-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            directory = pattern;
    }
    ~PosixFileEnvironment() {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }
    FileSystem& files() { return system; }
    std::string root() const { return directory; }
    void put(const std::string& path, std::string_view content) {
        std::ofstream(path, std::ios::binary) << content;
    }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Posix, FileSystemContract, ::testing::Types<PosixFileEnvironment>);

// What only the POSIX implementation promises: modes, links, FIFOs, TMPDIR.

class PosixFileSystemTest : public FileSystemTest<PosixFileEnvironment> {
  protected:
    void put(const std::string& file, std::string_view content) { environment.put(file, content); }
    static mode_t mode_of(const std::string& file) {
        struct stat info {};
        return ::stat(file.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
    }

    PosixFileSystem& files = environment.system;
};

TEST_F(PosixFileSystemTest, CreateNewFileIsPrivateFromTheStart) {
    ASSERT_TRUE(files.create_new_file(path("secret.bin")));
    EXPECT_EQ(mode_of(path("secret.bin")), 0600u);
}

TEST_F(PosixFileSystemTest, CreateNewDoesNotFollowALinkToAnotherFile) {
    const std::string victim = path("victim");
    put(victim, "keep");
    fs::create_symlink(victim, path("link"));
    EXPECT_FALSE(files.create_new_file(path("link")));
    fs::create_symlink(path("absent"), path("dangling"));
    EXPECT_FALSE(files.create_new_file(path("dangling")));
    EXPECT_FALSE(fs::exists(path("absent")));
    EXPECT_EQ(text(victim), "keep");
}

TEST_F(PosixFileSystemTest, ClosingAHandleThatWasNeverIssuedLeavesStandardInputOpen) {
    files.close_file(FileHandle{});
    EXPECT_NE(::fcntl(0, F_GETFD), -1);
}

TEST_F(PosixFileSystemTest, ReadFileRefusesAFifoWithoutWaitingForAWriter) {
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(files.read_file(path("fifo"), 100));
}

TEST_F(PosixFileSystemTest, PathKindFollowsLinks) {
    put(path("file"), "x");
    fs::create_directory(path("dir"));
    fs::create_directory_symlink(path("dir"), path("dir-link"));
    fs::create_symlink(path("nowhere"), path("dangling"));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    const std::pair<const char*, PathKind> cases[] = {
        {"file", PathKind::regular_file},  {"dir", PathKind::directory},
        {"dir-link", PathKind::directory}, {"dangling", PathKind::missing},
        {"fifo", PathKind::other},         {"missing", PathKind::missing},
    };
    for (auto [name, kind] : cases)
        EXPECT_EQ(files.path_kind(path(name)), kind) << name;
    // A dangling link is listed all the same: listing reads names, not what they lead to.
    auto names = files.list_directory(root);
    ASSERT_TRUE(names);
    EXPECT_NE(std::find(names->begin(), names->end(), "dangling"), names->end());
}

TEST_F(PosixFileSystemTest, CreateDirectoriesMakesEveryMissingLevelPrivate) {
    fs::create_directory(path("existing"));
    fs::permissions(path("existing"), fs::perms(0755));
    const std::string deep = path("existing/a/b/c/");
    ASSERT_TRUE(files.create_directories(deep));
    EXPECT_TRUE(files.create_directories(deep)) << "an existing directory is success";
    EXPECT_EQ(mode_of(path("existing")), 0755u) << "existing levels keep their mode";
    for (const char* level : {"existing/a", "existing/a/b", "existing/a/b/c"}) {
        EXPECT_EQ(mode_of(path(level)), 0700u) << level;
    }
}

TEST_F(PosixFileSystemTest, CanonicalDirectoryResolvesLinks) {
    fs::create_directories(path("real/inner"));
    fs::create_directory_symlink(path("real"), path("alias"));
    put(path("file"), "x");
    const std::string expected = fs::canonical(path("real/inner")).string();
    EXPECT_EQ(files.canonical_directory(path("alias/inner")), expected);
    EXPECT_EQ(files.canonical_directory(path("alias/../alias/inner/")), expected);
}

TEST_F(PosixFileSystemTest, RemoveTreeRemovesLinksButNeverWhatTheyPointAt) {
    fs::create_directories(path("outside/keep-dir"));
    put(path("outside/keep-file"), "precious");
    fs::create_directories(path("tree/sub/deeper"));
    put(path("tree/sub/deeper/f"), "x");
    put(path("tree/top"), "x");
    fs::create_directory_symlink(path("outside"), path("tree/sub/dir-link"));
    fs::create_symlink(path("outside/keep-file"), path("tree/file-link"));

    EXPECT_TRUE(files.remove_tree(path("tree")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(path("tree"))));
    EXPECT_EQ(text(path("outside/keep-file")), "precious");
    EXPECT_TRUE(fs::is_directory(path("outside/keep-dir")));
}

TEST_F(PosixFileSystemTest, RemoveTreeRefusesALinkAtTheTop) {
    fs::create_directories(path("target/inner"));
    fs::create_directory_symlink(path("target"), path("top-link"));
    EXPECT_FALSE(files.remove_tree(path("top-link")));
    EXPECT_TRUE(fs::is_directory(path("target/inner")));
}

TEST_F(PosixFileSystemTest, RestrictAccessSetsPrivateModes) {
    put(path("file"), "x");
    fs::permissions(path("file"), fs::perms(0666));
    fs::create_directory(path("dir"));
    fs::permissions(path("dir"), fs::perms(0777));
    EXPECT_TRUE(files.restrict_access(path("file")));
    EXPECT_TRUE(files.restrict_access(path("dir")));
    EXPECT_EQ(mode_of(path("file")), 0600u);
    EXPECT_EQ(mode_of(path("dir")), 0700u);
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0666), 0);
    EXPECT_FALSE(files.restrict_access(path("fifo")));
    // A second name of the file would share the new owner and mode: refused with EMLINK.
    ASSERT_EQ(::link(path("file").c_str(), path("second-name").c_str()), 0);
    const auto linked = files.restrict_access(path("file"));
    ASSERT_FALSE(linked);
    EXPECT_EQ(linked.error().code, static_cast<std::uint32_t>(EMLINK));
}

TEST_F(PosixFileSystemTest, RestrictAccessGivesTheFileToRootWhenRunningAsRoot) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "changing the owner needs root";
    put(path("file"), "x");
    ASSERT_EQ(::chown(path("file").c_str(), 65534, 65534), 0);
    EXPECT_TRUE(files.restrict_access(path("file")));
    struct stat info {};
    ASSERT_EQ(::stat(path("file").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_gid, 65534u) << "the group is left as it is";
}

TEST_F(PosixFileSystemTest, TemporaryDirectoryHonoursOnlyAnAbsoluteTmpdir) {
    const char* saved = std::getenv("TMPDIR");
    const std::string saved_value = saved ? saved : "";
    ::setenv("TMPDIR", (root + "/").c_str(), 1);
    EXPECT_EQ(files.temporary_directory(), root);
    ::setenv("TMPDIR", "relative/dir", 1);
    EXPECT_EQ(files.temporary_directory(), "/tmp");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(files.temporary_directory(), "/tmp");
    if (saved)
        ::setenv("TMPDIR", saved_value.c_str(), 1);
}

}  // namespace
}  // namespace velnaro::platform
