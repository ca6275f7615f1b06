#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.hpp"
#include "platform/posix/sealing.hpp"
#include "posix/scratch_folder.hpp"

namespace velnaro::platform {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

std::string file_content(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class PosixSealingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = testing_support::scratch_folder("velnaro-seal");
        ASSERT_FALSE(pattern.empty());
        root = pattern;
        std::ofstream(machine_id_file()) << "0123456789abcdef0123456789abcdef\n";
    }
    void TearDown() override { fs::remove_all(root); }

    std::string machine_id_file() const { return join_path(root, "machine-id"); }
    SealingKeyLocation location(std::string_view account = "account") const {
        return {join_path(root, account), {machine_id_file()}};
    }
    std::string key_file(std::string_view account = "account") const {
        return join_path(join_path(root, account), std::to_string(::geteuid()) + ".key");
    }

    std::string root;
};

// The round trip of every implementation is in the sealing contract; the envelope also takes
// an empty secret and an empty description.
TEST_F(PosixSealingTest, EmptySecretAndDescriptionRoundTrip) {
    PosixSealing sealing(location());
    for (const auto& [secret, description] :
         {std::pair{std::vector<std::uint8_t>{}, std::u16string(u"VelnaroTunnel")},
          std::pair{bytes_of("secret"), std::u16string()}}) {
        auto blob = sealing.protect(secret, description);
        ASSERT_TRUE(blob);
        auto opened = sealing.unprotect(*blob);
        ASSERT_TRUE(opened);
        EXPECT_TRUE(std::ranges::equal(opened->data, secret));
        EXPECT_EQ(opened->description, description);
    }
}

TEST_F(PosixSealingTest, SealingTheSameSecretTwiceGivesDifferentBlobs) {
    PosixSealing sealing(location());
    const auto secret = bytes_of("same secret");
    auto first = sealing.protect(secret, u"VelnaroTunnel");
    auto second = sealing.protect(secret, u"VelnaroTunnel");
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_TRUE(sealing.unprotect(*first) && sealing.unprotect(*second));
}

TEST_F(PosixSealingTest, EveryFlippedByteAndEveryTruncationIsRefused) {
    PosixSealing sealing(location());
    auto blob = sealing.protect(bytes_of("secret"), u"VelnaroTunnel");
    ASSERT_TRUE(blob);
    for (std::size_t at = 0; at < blob->size(); ++at) {
        auto damaged = *blob;
        damaged[at] ^= 0x01;
        EXPECT_FALSE(sealing.unprotect(damaged)) << "flipped byte " << at;
    }
    for (std::size_t size = 0; size < blob->size(); ++size) {
        EXPECT_FALSE(sealing.unprotect(std::span(*blob).first(size))) << "length " << size;
    }
    auto extended = *blob;
    extended.push_back(0);
    EXPECT_FALSE(sealing.unprotect(extended));
    EXPECT_FALSE(sealing.unprotect(std::vector<std::uint8_t>(16384, 0))) << "not a blob at all";
}

TEST_F(PosixSealingTest, ABlobOpensOnlyUnderTheAccountAndMachineThatSealedIt) {
    auto blob = PosixSealing(location()).protect(bytes_of("secret"), u"VelnaroTunnel");
    ASSERT_TRUE(blob);
    EXPECT_FALSE(PosixSealing(location("other-account")).unprotect(*blob));

    const std::string other_machine = join_path(root, "other-machine-id");
    std::ofstream(other_machine) << "fedcba9876543210fedcba9876543210\n";
    EXPECT_FALSE(PosixSealing({join_path(root, "account"), {other_machine}}).unprotect(*blob));

    EXPECT_TRUE(PosixSealing(location()).unprotect(*blob)) << "a new instance finds the key";
}

TEST_F(PosixSealingTest, KeyFileIsPrivateAndCreatedOnce) {
    PosixSealing sealing(location());
    ASSERT_TRUE(sealing.protect(bytes_of("a"), u"x"));
    struct stat info {};
    ASSERT_EQ(::stat(key_file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    EXPECT_EQ(info.st_size, 32);
    ASSERT_EQ(::stat(join_path(root, "account").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);

    const std::string key = file_content(key_file());
    ASSERT_TRUE(sealing.protect(bytes_of("b"), u"x"));
    EXPECT_EQ(file_content(key_file()), key);
    EXPECT_EQ(std::distance(fs::directory_iterator(join_path(root, "account")), {}), 1)
        << "no temporary file is left behind";
}

TEST_F(PosixSealingTest, ConcurrentFirstUsersAgreeOnOneKey) {
    constexpr int kThreads = 8;
    std::vector<OsResult<std::vector<std::uint8_t>>> blobs(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            blobs[i] = PosixSealing(location()).protect(bytes_of("race"), u"VelnaroTunnel");
        });
    }
    for (auto& thread : threads)
        thread.join();
    PosixSealing later(location());
    for (const auto& blob : blobs) {
        ASSERT_TRUE(blob);
        EXPECT_TRUE(later.unprotect(*blob));
    }
}

TEST_F(PosixSealingTest, AKeyFileOthersCouldReadOrReplaceIsRefusedAndKept) {
    ASSERT_TRUE(PosixSealing(location()).protect(bytes_of("a"), u"x"));
    const std::string key = file_content(key_file());
    struct Case {
        const char* what;
        std::string path;
        fs::perms mode;
    };
    const Case cases[] = {
        {"key readable by others", key_file(), fs::perms(0644)},
        {"key directory writable by others", join_path(root, "account"), fs::perms(0777)},
        {"a level above writable by others", root, fs::perms(0777)},
    };
    for (const Case& c : cases) {
        const auto saved = fs::status(c.path).permissions();
        fs::permissions(c.path, c.mode);
        EXPECT_FALSE(PosixSealing(location()).protect(bytes_of("a"), u"x")) << c.what;
        fs::permissions(c.path, saved);
    }
    EXPECT_EQ(file_content(key_file()), key);
}

TEST_F(PosixSealingTest, SealingNeedsAMachineIdAndAUsableDescription) {
    fs::remove(machine_id_file());
    EXPECT_FALSE(PosixSealing(location()).protect(bytes_of("a"), u"x"));
    std::ofstream(machine_id_file()) << "0123456789abcdef0123456789abcdef\n";
    EXPECT_FALSE(PosixSealing(location()).protect(bytes_of("a"), std::u16string(u"a\0b", 3)));
    EXPECT_TRUE(PosixSealing(location()).protect(bytes_of("a"), u"ab"));
}

}  // namespace
}  // namespace velnaro::platform
