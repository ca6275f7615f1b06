#pragma once

// What every FileSystem does, whichever system it runs on: the POSIX and Win32
// implementations in their integration tests, and the fake in the unit tests, so that the
// fake is known to behave like the systems. An environment gives the implementation and a
// fresh directory to work in:
//
//   struct Environment {
//       platform::FileSystem& files();
//       std::string root() const;                             // exists and is empty
//       void put(const std::string& path, std::string_view content);  // behind its back
//   };

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/paths.hpp"
#include "core/secret_buffer.hpp"
#include "platform/file_system.hpp"

namespace velnaro::platform {

// A fresh environment per test, and the helpers every file-system test needs.
template <class Environment>
class FileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(root.empty()) << "no scratch directory"; }

    std::string path(std::string_view name) const { return join_path(root, name); }
    // The content of a file as the file system under test reads it.
    std::string text(const std::string& file) {
        auto bytes = environment.files().read_file(file, 1 << 20);
        return bytes ? std::string(bytes->begin(), bytes->end()) : "<unreadable>";
    }

    Environment environment;
    std::string root = environment.root();
};

template <class Environment>
class FileSystemContract : public FileSystemTest<Environment> {
  protected:
    FileSystem& files() { return this->environment.files(); }
    void put(std::string_view name, std::string_view content) {
        this->environment.put(this->path(name), content);
    }
    std::string text(std::string_view name) {
        return FileSystemTest<Environment>::text(this->path(name));
    }
    // A failure names what failed: the system's error number and the path it concerned.
    template <class T>
    void expect_failure(const OsResult<T>& result, std::string_view name) {
        ASSERT_FALSE(result) << name;
        EXPECT_NE(result.error().code, 0u) << name;
        EXPECT_FALSE(result.error().operation.empty()) << name;
        EXPECT_NE(result.error().subject.find(name), std::string::npos)
            << name << " in " << result.error().subject;
    }
};

TYPED_TEST_SUITE_P(FileSystemContract);

TYPED_TEST_P(FileSystemContract, CreateNewWritesAFileAndRefusesAnExistingOne) {
    auto& files = this->files();
    const std::string content = "sealed bytes";
    {
        auto file = files.create_new_file(this->path("secret.bin"));
        ASSERT_TRUE(file);
        EXPECT_EQ(files.write_file(file->get(), as_bytes(content)), content.size());
        EXPECT_TRUE(files.flush_file(file->get()));
    }  // closed here
    EXPECT_EQ(this->text("secret.bin"), content);
    this->expect_failure(files.create_new_file(this->path("secret.bin")), "secret.bin");
    EXPECT_EQ(this->text("secret.bin"), content) << "a refused create must not truncate";
    this->expect_failure(files.create_new_file(this->path("missing-dir/f")), "missing-dir");
}

TYPED_TEST_P(FileSystemContract, HandlesNeverIssuedAndPathsTheSystemCannotTakeAreRefused) {
    auto& files = this->files();
    EXPECT_FALSE(files.write_file(FileHandle{}, as_bytes("x")));
    EXPECT_FALSE(files.flush_file(FileHandle{}));
    const std::string with_zero = this->path("a") + std::string(1, '\0') + "b";
    const std::string invalid_text = this->path("bad\xff");
    for (const std::string& bad : {with_zero, invalid_text}) {
        EXPECT_FALSE(files.create_new_file(bad));
        EXPECT_FALSE(files.create_directories(bad));
        EXPECT_EQ(files.path_kind(bad), PathKind::missing);
    }
    EXPECT_EQ(files.path_kind(this->path("a")), PathKind::missing);
}

TYPED_TEST_P(FileSystemContract, ReadFileStopsOneByteAfterTheLimit) {
    const std::size_t cases[][3] = {{0, 10, 0},    {10, 10, 10},           {11, 10, 11},
                                    {100, 10, 11}, {100000, 70000, 70001}, {5, 0, 1}};
    for (const auto& c : cases) {
        const std::string name = "data-" + std::to_string(c[0]);
        std::string content(c[0], '\0');
        for (std::size_t i = 0; i < c[0]; ++i)
            content[i] = static_cast<char>(i * 7);
        this->put(name, content);
        auto bytes = this->files().read_file(this->path(name), c[1]);
        ASSERT_TRUE(bytes) << c[0];
        EXPECT_EQ(bytes->size(), c[2]) << c[0] << "/" << c[1];
        EXPECT_TRUE(std::equal(bytes->begin(), bytes->end(), content.begin(),
                               [](std::uint8_t a, char b) { return a == std::uint8_t(b); }));
    }
    this->files().create_directories(this->path("dir"));
    EXPECT_FALSE(this->files().read_file(this->path("dir"), 10));
    this->expect_failure(this->files().read_file(this->path("missing"), 10), "missing");
}

TYPED_TEST_P(FileSystemContract, PathKindTrustAndDeleteTellFilesFromDirectories) {
    auto& files = this->files();
    this->put("file", "x");
    ASSERT_TRUE(files.create_directories(this->path("dir")));
    EXPECT_EQ(files.path_kind(this->path("file")), PathKind::regular_file);
    EXPECT_EQ(files.path_kind(this->path("dir")), PathKind::directory);
    EXPECT_EQ(files.path_kind(this->path("missing")), PathKind::missing);
    EXPECT_EQ(files.directory_trust(this->path("dir")), DirectoryTrust::trusted);
    EXPECT_EQ(files.directory_trust(this->path("file")), DirectoryTrust::not_a_directory);
    EXPECT_EQ(files.directory_trust(this->path("missing")), DirectoryTrust::missing);

    EXPECT_FALSE(files.delete_file(this->path("dir")));
    EXPECT_EQ(files.path_kind(this->path("dir")), PathKind::directory);
    EXPECT_TRUE(files.delete_file(this->path("file")));
    EXPECT_EQ(files.path_kind(this->path("file")), PathKind::missing);
    this->expect_failure(files.delete_file(this->path("file")), "file");
}

TYPED_TEST_P(FileSystemContract, MoveModesAndAnExistingTarget) {
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
        const std::string from = "from" + std::to_string(n);
        const std::string to = "to" + std::to_string(n++);
        this->put(from, "new");
        if (c.target_exists)
            this->put(to, "old");
        const auto moved = this->files().move_file(this->path(from), this->path(to), c.mode);
        EXPECT_EQ(moved.has_value(), c.moved) << n;
        if (!moved)
            this->expect_failure(moved, to);
        EXPECT_EQ(this->text(to), c.moved ? "new" : "old") << n;
        EXPECT_EQ(this->files().path_kind(this->path(from)) == PathKind::missing, c.moved) << n;
    }
    EXPECT_FALSE(this->files().move_file(this->path("missing"), this->path("to-missing"),
                                         MoveMode::replace));
}

TYPED_TEST_P(FileSystemContract, CreateDirectoriesLevelByLevel) {
    auto& files = this->files();
    const std::string deep = join_path(join_path(this->path("a"), "b"), "c");
    ASSERT_TRUE(files.create_directories(deep));
    EXPECT_TRUE(files.create_directories(deep)) << "an existing directory is success";
    EXPECT_EQ(files.path_kind(deep), PathKind::directory);
    this->put("plain", "x");
    EXPECT_FALSE(files.create_directories(join_path(this->path("plain"), "sub")));
    this->expect_failure(files.create_directories(this->path("plain")), "plain");
}

TYPED_TEST_P(FileSystemContract, CanonicalDirectoryIsAStableAbsolutePath) {
    auto& files = this->files();
    ASSERT_TRUE(files.create_directories(join_path(this->path("real"), "inner")));
    this->put("file", "x");
    auto canonical = files.canonical_directory(join_path(this->path("real"), "inner"));
    ASSERT_TRUE(canonical);
    EXPECT_TRUE(is_absolute_path(*canonical));
    EXPECT_EQ(files.canonical_directory(*canonical).value_or(""), *canonical);
    EXPECT_FALSE(files.canonical_directory(this->path("file")));
    this->expect_failure(files.canonical_directory(this->path("missing")), "missing");
}

TYPED_TEST_P(FileSystemContract, ListDirectoryGivesNamesWithoutDotEntries) {
    auto& files = this->files();
    this->put("a", "1");
    ASSERT_TRUE(files.create_directories(this->path("b")));
    this->put("\xc3\xa9t\xc3\xa9", "2");
    auto names = files.list_directory(this->root);
    ASSERT_TRUE(names);
    std::sort(names->begin(), names->end());
    EXPECT_EQ(*names, (std::vector<std::string>{"a", "b", "\xc3\xa9t\xc3\xa9"}));
    EXPECT_EQ(files.list_directory(this->path("b")), std::vector<std::string>{});
    this->expect_failure(files.list_directory(this->path("missing")), "missing");
    EXPECT_FALSE(files.list_directory(this->path("a")));
}

TYPED_TEST_P(FileSystemContract, RemoveTreeTakesEverythingBelowAndOnlyDirectories) {
    auto& files = this->files();
    const std::string deeper = join_path(join_path(this->path("tree"), "sub"), "deeper");
    ASSERT_TRUE(files.create_directories(deeper));
    this->environment.put(join_path(deeper, "f"), "x");
    this->put("tree/top", "x");
    EXPECT_TRUE(files.remove_tree(this->path("tree")));
    EXPECT_EQ(files.path_kind(this->path("tree")), PathKind::missing);
    this->put("file", "x");
    EXPECT_FALSE(files.remove_tree(this->path("file")));
    EXPECT_EQ(files.path_kind(this->path("file")), PathKind::regular_file);
    this->expect_failure(files.remove_tree(this->path("missing")), "missing");
}

TYPED_TEST_P(FileSystemContract, RestrictAccessTakesFilesAndDirectoriesRepeatedly) {
    auto& files = this->files();
    this->put("file", "x");
    ASSERT_TRUE(files.create_directories(this->path("dir")));
    for (const char* name : {"file", "dir"}) {
        EXPECT_TRUE(files.restrict_access(this->path(name))) << name;
        EXPECT_TRUE(files.restrict_access(this->path(name))) << name << ", twice";
    }
    this->expect_failure(files.restrict_access(this->path("missing")), "missing");
}

TYPED_TEST_P(FileSystemContract, TemporaryDirectoryIsAnExistingDirectoryWithoutTrailingSeparator) {
    auto temporary = this->files().temporary_directory();
    ASSERT_TRUE(temporary);
    EXPECT_TRUE(is_absolute_path(*temporary));
    EXPECT_NE(temporary->back(), '\\');
    EXPECT_TRUE(temporary->size() == 1 || temporary->back() != '/');
    EXPECT_EQ(this->files().path_kind(*temporary), PathKind::directory);
}

REGISTER_TYPED_TEST_SUITE_P(FileSystemContract, CreateNewWritesAFileAndRefusesAnExistingOne,
                            HandlesNeverIssuedAndPathsTheSystemCannotTakeAreRefused,
                            ReadFileStopsOneByteAfterTheLimit,
                            PathKindTrustAndDeleteTellFilesFromDirectories,
                            MoveModesAndAnExistingTarget, CreateDirectoriesLevelByLevel,
                            CanonicalDirectoryIsAStableAbsolutePath,
                            ListDirectoryGivesNamesWithoutDotEntries,
                            RemoveTreeTakesEverythingBelowAndOnlyDirectories,
                            RestrictAccessTakesFilesAndDirectoriesRepeatedly,
                            TemporaryDirectoryIsAnExistingDirectoryWithoutTrailingSeparator);

}  // namespace velnaro::platform
