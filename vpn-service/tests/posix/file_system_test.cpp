#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/secret_buffer.hpp"
#include "platform/paths.hpp"
#include "platform/posix/file_system.hpp"

namespace velnaro::platform {
namespace {

namespace fs = std::filesystem;

class PosixFileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "velnaro-fs-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }

    std::string path(std::string_view name) const { return join_path(root, name); }

    void put(const std::string& file, std::string_view content) const {
        std::ofstream(file, std::ios::binary) << content;
    }
    std::string text(const std::string& file) const {
        auto bytes = files.read_file(file, 1 << 20);
        return bytes ? std::string(bytes->begin(), bytes->end()) : "<unreadable>";
    }
    static mode_t mode_of(const std::string& file) {
        struct stat info {};
        return ::stat(file.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
    }

    mutable PosixFileSystem files;
    std::string root;
};

TEST_F(PosixFileSystemTest, CreateNewWritesPrivateFileAndRefusesExistingOne) {
    const std::string file = path("secret.bin");
    auto handle = files.create_new_file(file);
    ASSERT_TRUE(handle);
    const std::string content = "sealed bytes";
    auto written = files.write_file(*handle, velnaro::as_bytes(content));
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, content.size());
    EXPECT_TRUE(files.flush_file(*handle));
    files.close_file(*handle);

    EXPECT_EQ(mode_of(file), 0600u);
    EXPECT_EQ(text(file), content);
    EXPECT_FALSE(files.create_new_file(file));
    EXPECT_EQ(text(file), content) << "a refused create must not truncate";
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

TEST_F(PosixFileSystemTest, PathsWithAZeroByteOrInvalidTextAreRefused) {
    const std::string with_zero = path("a") + std::string(1, '\0') + "b";
    const std::string invalid = path("bad\xff");
    for (const std::string& bad : {with_zero, invalid}) {
        EXPECT_FALSE(files.create_new_file(bad));
        EXPECT_FALSE(files.create_directories(bad));
        EXPECT_EQ(files.path_kind(bad), PathKind::missing);
    }
    EXPECT_FALSE(fs::exists(path("a")));
}

TEST_F(PosixFileSystemTest, OperationsOnAHandleThatWasNeverIssuedFail) {
    EXPECT_FALSE(files.write_file(FileHandle{}, velnaro::as_bytes("x")));
    EXPECT_FALSE(files.flush_file(FileHandle{}));
    files.close_file(FileHandle{});  // must not close standard input
    EXPECT_NE(::fcntl(0, F_GETFD), -1);
}

TEST_F(PosixFileSystemTest, ReadFileStopsOneByteAfterTheLimit) {
    struct Case {
        std::size_t size;
        std::size_t max_bytes;
        std::size_t expected;
    };
    const Case cases[] = {
        {0, 10, 0}, {10, 10, 10}, {11, 10, 11}, {100, 10, 11}, {100000, 70000, 70001}, {5, 0, 1},
    };
    for (const Case& c : cases) {
        const std::string file = path("data-" + std::to_string(c.size));
        std::string content(c.size, '\0');
        for (std::size_t i = 0; i < c.size; ++i)
            content[i] = static_cast<char>(i * 7);
        put(file, content);
        auto bytes = files.read_file(file, c.max_bytes);
        ASSERT_TRUE(bytes) << c.size;
        EXPECT_EQ(bytes->size(), c.expected) << c.size << "/" << c.max_bytes;
        EXPECT_TRUE(
            std::equal(bytes->begin(), bytes->end(), content.begin(),
                       [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
    }
}

TEST_F(PosixFileSystemTest, ReadFileRefusesWhatIsNotARegularFile) {
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(files.read_file(path("fifo"), 100)) << "and must not wait for a writer";
    EXPECT_FALSE(files.read_file(root, 100));
    EXPECT_FALSE(files.read_file(path("missing"), 100));
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
    put(path("plain"), "x");
    EXPECT_FALSE(files.create_directories(path("plain/sub")));
    EXPECT_FALSE(files.create_directories(path("plain")));
}

TEST_F(PosixFileSystemTest, CanonicalDirectoryResolvesLinksAndRefusesFiles) {
    fs::create_directories(path("real/inner"));
    fs::create_directory_symlink(path("real"), path("alias"));
    put(path("file"), "x");
    const std::string expected = fs::canonical(path("real/inner")).string();
    EXPECT_EQ(files.canonical_directory(path("alias/inner")), expected);
    EXPECT_EQ(files.canonical_directory(path("alias/../alias/inner/")), expected);
    EXPECT_FALSE(files.canonical_directory(path("file")));
    EXPECT_FALSE(files.canonical_directory(path("missing")));
}

TEST_F(PosixFileSystemTest, DeleteFileRemovesFilesOnly) {
    put(path("file"), "x");
    fs::create_directory(path("dir"));
    EXPECT_TRUE(files.delete_file(path("file")));
    EXPECT_FALSE(fs::exists(path("file")));
    EXPECT_FALSE(files.delete_file(path("file")));
    EXPECT_FALSE(files.delete_file(path("dir")));
    EXPECT_TRUE(fs::is_directory(path("dir")));
}

TEST_F(PosixFileSystemTest, MoveModesAndAnExistingTarget) {
    struct Case {
        MoveMode mode;
        bool target_exists;
        bool moved;
    };
    const Case cases[] = {
        {MoveMode::replace, false, true},
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
        EXPECT_EQ(fs::exists(from), !c.moved) << n;
    }
    EXPECT_FALSE(files.move_file(path("missing"), path("to-missing"), MoveMode::replace));
}

TEST_F(PosixFileSystemTest, ListDirectoryGivesNamesWithoutDotEntries) {
    put(path("a"), "1");
    fs::create_directory(path("b"));
    fs::create_symlink(path("nowhere"), path("c"));
    auto names = files.list_directory(root);
    ASSERT_TRUE(names);
    std::sort(names->begin(), names->end());
    EXPECT_EQ(*names, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(files.list_directory(path("b")), std::vector<std::string>{});
    EXPECT_FALSE(files.list_directory(path("missing")));
    EXPECT_FALSE(files.list_directory(path("a")));
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

TEST_F(PosixFileSystemTest, RemoveTreeRefusesALinkAtTheTopAndNonDirectories) {
    fs::create_directories(path("target/inner"));
    fs::create_directory_symlink(path("target"), path("top-link"));
    put(path("file"), "x");
    EXPECT_FALSE(files.remove_tree(path("top-link")));
    EXPECT_TRUE(fs::is_directory(path("target/inner")));
    EXPECT_FALSE(files.remove_tree(path("file")));
    EXPECT_FALSE(files.remove_tree(path("missing")));
}

TEST_F(PosixFileSystemTest, RestrictAccessSetsPrivateModes) {
    put(path("file"), "x");
    fs::permissions(path("file"), fs::perms(0666));
    fs::create_directory(path("dir"));
    fs::permissions(path("dir"), fs::perms(0777));
    EXPECT_EQ(files.restrict_access(path("file")), AccessResult::ok);
    EXPECT_EQ(files.restrict_access(path("dir")), AccessResult::ok);
    EXPECT_EQ(files.restrict_access(path("dir")), AccessResult::ok) << "twice is fine";
    EXPECT_EQ(mode_of(path("file")), 0600u);
    EXPECT_EQ(mode_of(path("dir")), 0700u);
    EXPECT_EQ(files.restrict_access(path("missing")), AccessResult::failed);
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0666), 0);
    EXPECT_EQ(files.restrict_access(path("fifo")), AccessResult::failed);
}

TEST_F(PosixFileSystemTest, RestrictAccessGivesTheFileToRootWhenRunningAsRoot) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "changing the owner needs root";
    put(path("file"), "x");
    ASSERT_EQ(::chown(path("file").c_str(), 65534, 65534), 0);
    EXPECT_EQ(files.restrict_access(path("file")), AccessResult::ok);
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
