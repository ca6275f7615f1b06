// Planted links, hard links and foreign directories around the data directory, on real files.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "core/uuid.hpp"
#include "identity/identity_file.hpp"
#include "identity/identity_lifecycle.hpp"
#include "identity/metadata.hpp"
#include "platform/native.hpp"
#include "platform/paths.hpp"
#include "posix/scratch_folder.hpp"
#include "protected_storage/data_directory.hpp"
#include "wireguard/runtime.hpp"
#include "tunnel_config/config_file.hpp"
#include "wireguard/components.hpp"

namespace velnaro {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

class DataDirectoryHardening : public ::testing::Test {
  public:
    void SetUp() override {
        std::string pattern = testing_support::scratch_folder("velnaro-harden");
        ASSERT_FALSE(pattern.empty());
        root = pattern;
        const char* previous = std::getenv("PROGRAMDATA");
        if (previous != nullptr)
            saved_program_data = previous;
        ::setenv("PROGRAMDATA", program_data().c_str(), 1);
        fs::create_directory(program_data());
        fs::create_directory(outside());
    }
    void TearDown() override {
        if (saved_program_data)
            ::setenv("PROGRAMDATA", saved_program_data->c_str(), 1);
        else
            ::unsetenv("PROGRAMDATA");
        fs::remove_all(root);
    }

    std::string program_data() const { return join_path(root, "programdata"); }
    std::string velnaro() const { return join_path(program_data(), "Velnaro"); }
    std::string data() const { return join_path(velnaro(), "vpn"); }
    // Somewhere a link could lead: stands for a directory the attacker owns or a system file.
    std::string outside() const { return join_path(root, "outside"); }
    std::string in_data(std::string_view name) const { return join_path(data(), name); }

    static void put(const std::string& file, std::string_view content, mode_t mode = 0644) {
        std::ofstream(file, std::ios::binary) << content;
        ::chmod(file.c_str(), mode);
    }
    static std::string text(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static struct stat info_of(const std::string& path) {
        struct stat info {};
        ::lstat(path.c_str(), &info);
        return info;
    }
    static bool is_link(const std::string& path) {
        return fs::is_symlink(fs::symlink_status(path));
    }

    // The data directory as a trusted run would leave it.
    void make_data_directory() const {
        fs::create_directories(data());
        fs::permissions(velnaro(), fs::perms::owner_all);
        fs::permissions(data(), fs::perms::owner_all);
    }
    // A file outside whose content, mode and owner must survive whatever the service does.
    std::string plant_victim(std::string_view name = "victim") const {
        const std::string victim = join_path(outside(), name);
        put(victim, "victim content", 0644);
        if (::geteuid() == 0) {
            EXPECT_EQ(::chown(victim.c_str(), kNobody, kNobody), 0);
        }
        return victim;
    }
    void expect_untouched(const std::string& victim) const {
        EXPECT_EQ(text(victim), "victim content");
        const struct stat info = info_of(victim);
        EXPECT_EQ(info.st_mode & 07777, 0644u);
        if (::geteuid() == 0) {
            EXPECT_EQ(info.st_uid, kNobody);
        }
    }

    platform::NativePlatform native;
    wireguard::ComponentCell components;
    Runtime runtime{native.get(), components};
    std::string root;
    std::optional<std::string> saved_program_data;
};

void skip_unless_root() {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a directory to another account";
}

TEST_F(DataDirectoryHardening, AFreshOrTrustedDirectoryResolves) {
    const auto created = resolve_data_directory(native.get());
    ASSERT_TRUE(created) << to_text(created.error());
    EXPECT_EQ(*created, fs::canonical(data()).string());
    EXPECT_EQ(info_of(velnaro()).st_mode & 07777, 0700u);
    EXPECT_EQ(info_of(data()).st_mode & 07777, 0700u);
    EXPECT_EQ(resolve_data_directory(native.get()), created);
}

TEST_F(DataDirectoryHardening, RedirectedOrForeignLevelsAreRefusedAndNothingIsCreatedThrough) {
    struct Case {
        const char* name;
        bool needs_root;
        std::function<void(DataDirectoryHardening&)> plant;
        DetailCode expected;
    };
    const std::vector<Case> cases = {
        {"Velnaro is a link to a directory elsewhere", false,
         [](auto& t) { fs::create_directory_symlink(t.outside(), t.velnaro()); },
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"Velnaro is a dangling link", false,
         [](auto& t) {
             fs::create_directory_symlink(join_path(t.outside(), "later"), t.velnaro());
         },
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"vpn is a link to a directory elsewhere", false,
         [](auto& t) {
             fs::create_directory(t.velnaro());
             fs::permissions(t.velnaro(), fs::perms::owner_all);
             fs::create_directory_symlink(t.outside(), t.data());
         },
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"vpn is a dangling link", false,
         [](auto& t) {
             fs::create_directory(t.velnaro());
             fs::permissions(t.velnaro(), fs::perms::owner_all);
             fs::create_directory_symlink(join_path(t.outside(), "later"), t.data());
         },
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"vpn is open to writing by everyone", false,
         [](auto& t) {
             t.make_data_directory();
             fs::permissions(t.data(), fs::perms::all);
         },
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"Velnaro is open to writing by its group", false,
         [](auto& t) {
             t.make_data_directory();
             fs::permissions(t.velnaro(), fs::perms::owner_all | fs::perms::group_all);
         },
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"Velnaro is a file", false, [](auto& t) { put(t.velnaro(), "x"); },
         DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED},
        {"Velnaro was created by another account", true,
         [](auto& t) {
             fs::create_directory(t.velnaro());
             fs::permissions(t.velnaro(), fs::perms::owner_all);
             EXPECT_EQ(::chown(t.velnaro().c_str(), kNobody, kNobody), 0);
         },
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
        {"vpn was created by another account", true,
         [](auto& t) {
             t.make_data_directory();
             EXPECT_EQ(::chown(t.data().c_str(), kNobody, kNobody), 0);
         },
         DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && ::geteuid() != 0)
            continue;
        fs::remove_all(velnaro());
        fs::remove_all(outside());
        fs::create_directory(outside());
        fs::permissions(outside(), fs::perms::all);
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(outside().c_str(), kNobody, kNobody), 0);
        }
        c.plant(*this);
        const struct stat before = info_of(data());

        const auto resolved = resolve_data_directory(native.get());
        ASSERT_FALSE(resolved) << *resolved;
        EXPECT_EQ(resolved.error(), c.expected);
        EXPECT_TRUE(fs::is_empty(outside())) << "something was created through a link";
        const struct stat outside_info = info_of(outside());
        EXPECT_EQ(outside_info.st_mode & 07777, 0777u);
        if (::geteuid() == 0) {
            EXPECT_EQ(outside_info.st_uid, kNobody);
        }
        const struct stat after = info_of(data());
        EXPECT_EQ(after.st_uid, before.st_uid) << "refused, not taken over";
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
}

TEST_F(DataDirectoryHardening, EveryLevelFromTheRootIsJudged) {
    struct Case {
        const char* name;
        bool needs_root;
        std::function<void(DataDirectoryHardening&)> arrange;
        bool resolves;
    };
    const std::vector<Case> cases = {
        {"program data writable by everyone", false,
         [](auto& t) { fs::permissions(t.program_data(), fs::perms::all); }, false},
        {"a level above program data writable by its group", false,
         [](auto& t) { fs::permissions(t.root, fs::perms::owner_all | fs::perms::group_all); },
         false},
        {"program data is a link to a trusted directory", false,
         [](auto& t) {
             fs::rename(t.program_data(), join_path(t.root, "real"));
             fs::create_directory_symlink(join_path(t.root, "real"), t.program_data());
         },
         false},
        {"a sticky folder open to everyone, with the levels under it ours", false,
         [](auto& t) { fs::permissions(t.program_data(), fs::perms(01777)); }, true},
        {"program data inside a folder another account owns", true,
         [](auto& t) { EXPECT_EQ(::chown(t.root.c_str(), kNobody, kNobody), 0); }, false},
        {"Velnaro made by another account in a sticky folder", true,
         [](auto& t) {
             fs::permissions(t.program_data(), fs::perms(01777));
             fs::create_directory(t.velnaro());
             fs::permissions(t.velnaro(), fs::perms::owner_all);
             EXPECT_EQ(::chown(t.velnaro().c_str(), kNobody, kNobody), 0);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && ::geteuid() != 0)
            continue;
        fs::remove_all(program_data());
        fs::remove_all(join_path(root, "real"));
        fs::create_directory(program_data());
        fs::permissions(root, fs::perms::owner_all);
        ASSERT_EQ(::chown(root.c_str(), ::geteuid(), ::getegid()), 0);
        c.arrange(*this);
        const auto resolved = resolve_data_directory(native.get());
        EXPECT_EQ(resolved.has_value(), c.resolves);
        if (!c.resolves && !resolved) {
            EXPECT_EQ(resolved.error(), DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE);
        }
    }
    fs::permissions(root, fs::perms::owner_all);
    ASSERT_EQ(::chown(root.c_str(), ::geteuid(), ::getegid()), 0);
}

// The attack: a level is swapped for a link after the check. Writes, moves, deletes and
// mode changes must still land in the directory that was judged, never in the link's target.
TEST_F(DataDirectoryHardening, ALevelSwappedAfterTheCheckRedirectsNothing) {
    const auto resolved = resolve_data_directory(native.get());
    ASSERT_TRUE(resolved) << to_text(resolved.error());
    const std::string held = *resolved;
    put(join_path(held, "identity.pending.dat"), "pending");

    const std::string decoy = join_path(outside(), "vpn");
    fs::create_directory(decoy);
    fs::permissions(decoy, fs::perms::all);
    plant_victim("vpn/identity.pending.dat");
    plant_victim("vpn/metadata.json");
    const std::string moved_away = join_path(program_data(), "Velnaro.real");
    fs::rename(velnaro(), moved_away);
    fs::create_directory_symlink(outside(), velnaro());

    const PublicIdentity identity{"0f8fad5b-d9cb-469f-a165-70867728950e",
                                  "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", 3};
    const std::string metadata = join_path(held, "metadata.json");
    ASSERT_TRUE(write_metadata(native.get(), metadata, identity));
    EXPECT_EQ(read_metadata(native.get(), metadata), identity);
    EXPECT_TRUE(secure_path(native.get(), metadata));
    EXPECT_TRUE(secure_path(native.get(), held));
    EXPECT_TRUE(abort_rotation(runtime, held));

    const std::string real = join_path(moved_away, "vpn");
    EXPECT_EQ(info_of(join_path(real, "metadata.json")).st_mode & 07777, 0600u);
    EXPECT_FALSE(fs::exists(join_path(real, "identity.pending.dat")));
    for (const char* name : {"identity.pending.dat", "metadata.json"}) {
        expect_untouched(join_path(decoy, name));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(decoy), fs::directory_iterator()), 2);
    EXPECT_EQ(info_of(decoy).st_mode & 07777, 0777u);

    // Once the judged directory is gone, nothing is written anywhere.
    fs::remove(velnaro());
    fs::remove_all(moved_away);
    EXPECT_FALSE(write_metadata(native.get(), metadata, identity));
    EXPECT_FALSE(native.get().files.create_directories(held));
    EXPECT_EQ(std::distance(fs::directory_iterator(decoy), fs::directory_iterator()), 2);
}

TEST_F(DataDirectoryHardening, SecuringALinkOrAHardLinkLeavesItsTargetAlone) {
    make_data_directory();
    const std::string victim = plant_victim();
    const std::string victim_dir = join_path(outside(), "victim-dir");
    fs::create_directory(victim_dir);
    fs::permissions(victim_dir, fs::perms::all);

    fs::create_symlink(victim, in_data("identity.dat"));
    fs::create_directory_symlink(victim_dir, in_data("metadata.json"));
    fs::create_hard_link(victim, in_data("identity.pending.dat"));
    for (const char* name : {"identity.dat", "metadata.json", "identity.pending.dat"}) {
        const auto secured = secure_path(native.get(), in_data(name));
        ASSERT_FALSE(secured) << name;
        EXPECT_EQ(secured.error(), DetailCode::SECURE_PATH_ACL_FAILED) << name;
    }
    expect_untouched(victim);
    EXPECT_EQ(info_of(victim_dir).st_mode & 07777, 0777u);
}

TEST_F(DataDirectoryHardening, EnsureStopsAtAPlantedIdentityLinkBeforeTouchingItsTarget) {
    make_data_directory();
    const std::string victim = plant_victim();
    fs::create_symlink(victim, in_data("identity.dat"));
    const auto identity = ensure_identity(runtime, data());
    ASSERT_FALSE(identity);
    EXPECT_EQ(identity.error(), DetailCode::SECURE_PATH_ACL_FAILED);
    expect_untouched(victim);
    EXPECT_TRUE(is_link(in_data("identity.dat")));
}

TEST_F(DataDirectoryHardening, ALinkInPlaceOfADataFileIsNeverReadThrough) {
    make_data_directory();
    // Each target holds what the reader would accept, or at least get past its first step,
    // so a followed link would show up as success or as a later code.
    const std::string metadata_text =
        "{\"installationId\":\"0f8fad5b-d9cb-469f-a165-70867728950e\","
        "\"publicKey\":\"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\",\"keyVersion\":1}";
    struct Case {
        std::string_view name;
        std::function<std::optional<DetailCode>(platform::Platform&, const std::string&)> read;
        DetailCode expected;
    };
    auto code_of = [](const auto& result) -> std::optional<DetailCode> {
        if (result)
            return std::nullopt;
        return result.error().code;
    };
    const std::vector<Case> cases = {
        {"identity.dat",
         [&](auto& p, const std::string& path) { return code_of(read_identity_file(p, path)); },
         DetailCode::IDENTITY_READ_FAILED},
        {"identity.pending.dat",
         [&](auto& p, const std::string& path) { return code_of(read_identity_file(p, path)); },
         DetailCode::IDENTITY_READ_FAILED},
        {"metadata.json",
         [&](auto& p, const std::string& path) { return code_of(read_metadata(p, path)); },
         DetailCode::IDENTITY_METADATA_READ_FAILED},
        {"VelnaroTunnel.conf.dpapi",
         [&](auto& p, const std::string& path) {
             return code_of(read_tunnel_config_text(p, path));
         },
         DetailCode::TUNNEL_CONFIG_READ_FAILED},
    };
    const std::string target = join_path(outside(), "readable");
    put(target, metadata_text);
    ASSERT_TRUE(read_metadata(native.get(), target)) << "the target itself must be readable";
    for (const Case& c : cases) {
        const std::string path = in_data(c.name);
        fs::create_symlink(target, path);
        EXPECT_EQ(c.read(native.get(), path), c.expected) << c.name;
    }
}

TEST_F(DataDirectoryHardening, DeletingAndReplacingALinkActOnTheLinkItself) {
    make_data_directory();
    const std::string victim = plant_victim();
    fs::create_symlink(victim, in_data("VelnaroTunnel.conf.dpapi"));
    EXPECT_TRUE(native.get().files.delete_file(in_data("VelnaroTunnel.conf.dpapi")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(in_data("VelnaroTunnel.conf.dpapi"))));

    for (const auto mode :
         {platform::MoveMode::replace, platform::MoveMode::replace_write_through}) {
        fs::create_symlink(victim, in_data("VelnaroTunnel.conf.dpapi"));
        put(in_data("new.tmp"), "sealed");
        EXPECT_TRUE(native.get().files.move_file(in_data("new.tmp"),
                                                 in_data("VelnaroTunnel.conf.dpapi"), mode));
        EXPECT_FALSE(is_link(in_data("VelnaroTunnel.conf.dpapi")));
        EXPECT_EQ(text(in_data("VelnaroTunnel.conf.dpapi")), "sealed");
        fs::remove(in_data("VelnaroTunnel.conf.dpapi"));
    }
    expect_untouched(victim);
}

TEST_F(DataDirectoryHardening, MetadataOverALinkReplacesTheLink) {
    make_data_directory();
    const std::string victim = plant_victim();
    const PublicIdentity identity{"0f8fad5b-d9cb-469f-a165-70867728950e",
                                  "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", 3};
    for (const std::string& target : {victim, join_path(outside(), "absent")}) {
        SCOPED_TRACE(target);
        fs::remove(in_data("metadata.json"));
        fs::create_symlink(target, in_data("metadata.json"));
        ASSERT_TRUE(write_metadata(native.get(), in_data("metadata.json"), identity));
        EXPECT_FALSE(is_link(in_data("metadata.json")));
        EXPECT_EQ(read_metadata(native.get(), in_data("metadata.json")), identity);
    }
    expect_untouched(victim);
    EXPECT_FALSE(fs::exists(fs::symlink_status(join_path(outside(), "absent"))));
}

TEST_F(DataDirectoryHardening, ANewIdentityIsNeverWrittenThroughADanglingLink) {
    make_data_directory();
    const std::string absent = join_path(outside(), "absent");
    fs::create_symlink(absent, in_data("identity.dat"));
    DeviceIdentity identity;
    identity.installation_id = *parse_uuid_text("0f8fad5b-d9cb-469f-a165-70867728950e");
    identity.public_key = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    identity.key_version = 1;
    const auto written = write_identity_file(native.get(), in_data("identity.dat"), identity);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), DetailCode::IDENTITY_WRITE_FAILED);
    EXPECT_FALSE(fs::exists(fs::symlink_status(absent)));
    EXPECT_TRUE(is_link(in_data("identity.dat")));
}

TEST_F(DataDirectoryHardening, TrustReturnsWhenTheDirectoryIsGivenBack) {
    skip_unless_root();
    make_data_directory();
    ASSERT_EQ(::chown(data().c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(native.get().files.directory_trust(data()), platform::DirectoryTrust::untrusted);
    ASSERT_EQ(::chown(data().c_str(), 0, 0), 0);
    EXPECT_EQ(native.get().files.directory_trust(data()), platform::DirectoryTrust::trusted);
}

}  // namespace
}  // namespace velnaro
