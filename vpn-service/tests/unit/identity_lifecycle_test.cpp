#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/base64.hpp"
#include "fake/fake_components.hpp"
#include "fake/fake_platform.hpp"
#include "identity/identity_file.hpp"
#include "identity/identity_lifecycle.hpp"
#include "identity/identity_payload.hpp"
#include "identity/metadata.hpp"
#include "platform/paths.hpp"

namespace velnaro {
namespace {

constexpr std::uint32_t kLastVersion = 4294967295u;

class IdentityLifecycle : public ::testing::Test {
  protected:
    IdentityLifecycle() { fake::install_fake_components(fake); }

    Outcome<DeviceIdentity> ensure() { return ensure_identity(fake.runtime, directory); }
    Outcome<DeviceIdentity> prepare() { return prepare_rotation(fake.runtime, directory); }
    Outcome<PublicIdentity> commit() { return commit_rotation(fake.runtime, directory); }
    Outcome<void> abort() { return abort_rotation(fake.runtime, directory); }

    bool has(const std::string& path) {
        return fake.files.path_kind(path) != platform::PathKind::missing;
    }
    std::vector<std::string> names() {
        auto listed = fake.files.list_directory(directory);
        return listed ? *listed : std::vector<std::string>{};
    }
    std::map<std::string, std::vector<std::uint8_t>> snapshot() {
        std::map<std::string, std::vector<std::uint8_t>> files;
        for (const auto& name : names()) {
            if (auto it = fake.files.files.find(join_path(directory, name));
                it != fake.files.files.end()) {
                files[name] = it->second;
            }
        }
        return files;
    }
    // An identity written straight to disk, for states that the operations cannot reach.
    DeviceIdentity put_identity(std::uint32_t key_version) {
        fake.files.create_directories(directory);
        DeviceIdentity identity;
        identity.installation_id.fill(0x42);
        std::array<std::uint8_t, 32> public_key{};
        public_key.fill(0x07);
        identity.public_key = encode_base64(public_key);
        identity.key_version = key_version;
        identity.private_key.data()[0] = 1;
        EXPECT_TRUE(write_identity_file(fake.platform, identity_path, identity));
        EXPECT_TRUE(write_metadata(fake.platform, metadata_path, public_identity_of(identity)));
        return identity;
    }

    fake::FakePlatform fake;
    std::string directory = join_path(join_path(fake::fake_root(), "ProgramData"), "vpn");
    std::string identity_path = join_path(directory, "identity.dat");
    std::string pending_path = join_path(directory, "identity.pending.dat");
    std::string metadata_path = join_path(directory, "metadata.json");
};

TEST_F(IdentityLifecycle, FirstEnsureCreatesASecuredIdentityAndLaterOnesReturnIt) {
    const auto first = ensure();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->key_version, 1u);
    EXPECT_EQ(uuid_to_text(first->installation_id)[14], '4');
    EXPECT_EQ(names(), (std::vector<std::string>{"identity.dat", "metadata.json"}));
    for (const auto& path : {directory, identity_path, metadata_path}) {
        EXPECT_TRUE(fake.files.is_restricted(path)) << path;
    }
    EXPECT_EQ(read_metadata(fake.platform, metadata_path), public_identity_of(*first));

    const auto second = ensure();
    ASSERT_TRUE(second);
    EXPECT_TRUE(same_public_identity(*first, *second));
    EXPECT_EQ(first->private_key, second->private_key);
    EXPECT_EQ(fake::fake_component_calls().generate_keypair, 1);
}

TEST_F(IdentityLifecycle, EnsureRepairsMissingOrStaleMetadataButNotUnreadableMetadata) {
    const auto identity = ensure();
    ASSERT_TRUE(identity);
    const std::string good = *fake.files.file_text(metadata_path);

    fake.files.files.erase(metadata_path);
    ASSERT_TRUE(ensure());
    EXPECT_EQ(fake.files.file_text(metadata_path), good);

    PublicIdentity stale = public_identity_of(*identity);
    stale.key_version = 7;
    fake.files.put_file(metadata_path, *format_metadata(stale));
    ASSERT_TRUE(ensure());
    EXPECT_EQ(fake.files.file_text(metadata_path), good);

    fake.files.put_file(metadata_path, "not json");
    const auto refused = ensure();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), DetailCode::IDENTITY_METADATA_INVALID);
    EXPECT_EQ(fake.files.file_text(metadata_path), "not json");
}

TEST_F(IdentityLifecycle, MetadataWithoutIdentityIsALostIdentity) {
    ASSERT_TRUE(ensure());
    fake.files.files.erase(identity_path);
    const auto before = snapshot();
    const auto lost = ensure();
    ASSERT_FALSE(lost);
    EXPECT_EQ(lost.error(), DetailCode::LOCAL_IDENTITY_LOST);
    EXPECT_EQ(snapshot(), before);
}

TEST_F(IdentityLifecycle, UnreadableIdentityIsReportedAndLeftAlone) {
    fake.files.create_directories(directory);
    fake.files.put_file(identity_path, "partial");
    const auto refused = ensure();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), DetailCode::DPAPI_UNPROTECT_FAILED);
    EXPECT_EQ(fake.files.file_text(identity_path), "partial");
    EXPECT_FALSE(has(metadata_path));
}

struct CreationFault {
    const char* operation;
    int nth;
    DetailCode expected;
    bool identity_written;  // identity.dat exists after the failure
};

TEST_F(IdentityLifecycle, EveryCreationFailureIsReportedAndTheNextEnsureRecovers) {
    const std::vector<CreationFault> cases = {
        {"create_directories", 1, DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED, false},
        {"restrict_access", 1, DetailCode::SECURE_PATH_ACL_FAILED, false},
        {"restrict_access.descriptor", 1, DetailCode::SECURITY_DESCRIPTOR_INVALID, false},
        {"executable_path", 1, DetailCode::EXECUTABLE_PATH_UNAVAILABLE, false},
        {"random_bytes", 1, DetailCode::KEY_GENERATION_FAILED, false},
        {"protect", 1, DetailCode::DPAPI_PROTECT_FAILED, false},
        {"create_new_file", 1, DetailCode::IDENTITY_WRITE_FAILED, false},
        {"write_file", 1, DetailCode::IDENTITY_WRITE_FAILED, false},
        {"flush_file", 1, DetailCode::IDENTITY_WRITE_FAILED, false},
        {"move_file", 1, DetailCode::IDENTITY_WRITE_FAILED, false},
        {"create_new_file", 2, DetailCode::IDENTITY_WRITE_FAILED, true},  // metadata
        {"move_file", 2, DetailCode::IDENTITY_METADATA_WRITE_FAILED, true},
        {"restrict_access", 2, DetailCode::SECURE_PATH_ACL_FAILED, false},  // its temporary
        {"restrict_access", 3, DetailCode::SECURE_PATH_ACL_FAILED, true},   // identity.dat
        {"restrict_access", 4, DetailCode::SECURE_PATH_ACL_FAILED, true},   // metadata temporary
        {"restrict_access", 5, DetailCode::SECURE_PATH_ACL_FAILED, true},   // metadata.json
    };
    for (const auto& c : cases) {
        fake::FakePlatform local;
        fake::install_fake_components(local);
        local.faults.fail_nth(c.operation, c.nth);
        const auto failed = ensure_identity(local.runtime, directory);
        const std::string name = std::string(c.operation) + "#" + std::to_string(c.nth);
        ASSERT_FALSE(failed) << name;
        EXPECT_EQ(failed.error(), c.expected) << name;
        EXPECT_EQ(local.files.path_kind(identity_path) == platform::PathKind::regular_file,
                  c.identity_written)
            << name;

        const auto recovered = ensure_identity(local.runtime, directory);
        ASSERT_TRUE(recovered) << name;
        // Metadata that an ensure rewrote carries the directory's inherited access until the
        // next ensure secures it explicitly.
        ASSERT_TRUE(ensure_identity(local.runtime, directory)) << name;
        EXPECT_TRUE(local.files.is_restricted(identity_path)) << name;
        EXPECT_TRUE(local.files.is_restricted(metadata_path)) << name;
        EXPECT_EQ(read_metadata(local.platform, metadata_path), public_identity_of(*recovered))
            << name;
        EXPECT_EQ(local.files.open_handles(), 0) << name;
    }
}

TEST_F(IdentityLifecycle, EnsureSecuresExistingFilesBeforeUsingThem) {
    ASSERT_TRUE(ensure());
    for (int nth : {2, 3}) {  // identity.dat, then metadata.json
        fake.faults.fail_nth("restrict_access", nth);
        const auto refused = ensure();
        ASSERT_FALSE(refused) << nth;
        EXPECT_EQ(refused.error(), DetailCode::SECURE_PATH_ACL_FAILED) << nth;
    }
    fake.faults.fail_nth("read_file");
    const auto unread = ensure();
    ASSERT_FALSE(unread);
    EXPECT_EQ(unread.error(), DetailCode::IDENTITY_READ_FAILED);
}

TEST_F(IdentityLifecycle, KeyGenerationFailuresPassThroughUnchanged) {
    fake::fake_component_options().key_generation = fake::FakeKeyGeneration::leaves_private_zero;
    const auto refused = ensure();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), DetailCode::KEY_GENERATION_FAILED);
    EXPECT_TRUE(names().empty());
}

TEST_F(IdentityLifecycle, RepeatedPrepareReturnsTheSamePendingIdentityAndCommitAppliesIt) {
    const auto current = ensure();
    ASSERT_TRUE(current);
    const auto first = prepare();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->key_version, 2u);
    EXPECT_EQ(first->installation_id, current->installation_id);
    EXPECT_NE(first->public_key, current->public_key);
    EXPECT_TRUE(fake.files.is_restricted(pending_path));
    const auto again = prepare();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->public_key, first->public_key);
    EXPECT_EQ(again->private_key, first->private_key);
    EXPECT_EQ(fake::fake_component_calls().generate_keypair, 2);

    // A prepared rotation survives any number of ensures.
    const auto unchanged = ensure();
    ASSERT_TRUE(unchanged);
    EXPECT_TRUE(same_public_identity(*unchanged, *current));

    const auto committed = commit();
    ASSERT_TRUE(committed);
    EXPECT_EQ(*committed, public_identity_of(*first));
    EXPECT_FALSE(has(pending_path));
    const auto after = ensure();
    ASSERT_TRUE(after);
    EXPECT_TRUE(same_public_identity(*after, *first));
    EXPECT_EQ(read_metadata(fake.platform, metadata_path), public_identity_of(*first));
    EXPECT_TRUE(fake.files.is_restricted(identity_path));
    EXPECT_TRUE(fake.files.is_restricted(metadata_path));
}

TEST_F(IdentityLifecycle, AbortThenPrepareMakesANewKeyWithTheSameVersion) {
    ASSERT_TRUE(ensure());
    const auto first = prepare();
    ASSERT_TRUE(first);
    ASSERT_TRUE(abort());
    EXPECT_FALSE(has(pending_path));
    const auto second = prepare();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->key_version, first->key_version);
    EXPECT_NE(second->public_key, first->public_key);
}

TEST_F(IdentityLifecycle, RotationWithoutAPendingFile) {
    ASSERT_TRUE(ensure());
    const auto committed = commit();
    ASSERT_FALSE(committed);
    EXPECT_EQ(committed.error(), DetailCode::IDENTITY_ROTATION_NOT_PREPARED);
    EXPECT_TRUE(abort());

    fake.files.create_directories(pending_path);  // a directory is not a prepared rotation
    const auto on_directory = commit();
    ASSERT_FALSE(on_directory);
    EXPECT_EQ(on_directory.error(), DetailCode::IDENTITY_ROTATION_NOT_PREPARED);
    const auto aborted = abort();
    ASSERT_FALSE(aborted);
    EXPECT_EQ(aborted.error(), DetailCode::IDENTITY_ROTATION_ABORT_FAILED);
}

TEST_F(IdentityLifecycle, UnusablePendingFilesBlockPrepareAndCommitUntilAborted) {
    ASSERT_TRUE(ensure());
    const auto current_file = *fake.files.file_text(identity_path);
    struct Case {
        const char* name;
        std::string content;
        DetailCode expected;
    };
    const std::vector<Case> cases = {
        {"copy of the current identity", current_file, DetailCode::IDENTITY_ROTATION_INVALID},
        {"partial write", current_file.substr(0, 20), DetailCode::DPAPI_UNPROTECT_FAILED},
    };
    for (const auto& c : cases) {
        fake.files.put_file(pending_path, c.content);
        const auto before = snapshot();
        const auto prepared = prepare();
        ASSERT_FALSE(prepared) << c.name;
        EXPECT_EQ(prepared.error(), c.expected) << c.name;
        const auto committed = commit();
        ASSERT_FALSE(committed) << c.name;
        EXPECT_EQ(committed.error(), c.expected) << c.name;
        EXPECT_EQ(snapshot(), before) << c.name;
        ASSERT_TRUE(abort()) << c.name;
        EXPECT_FALSE(has(pending_path)) << c.name;
    }
}

TEST_F(IdentityLifecycle, ExhaustedKeyVersionRefusesToPrepare) {
    put_identity(kLastVersion);
    const auto before = snapshot();
    const auto prepared = prepare();
    ASSERT_FALSE(prepared);
    EXPECT_EQ(prepared.error(), DetailCode::IDENTITY_KEY_VERSION_EXHAUSTED);
    EXPECT_EQ(snapshot(), before);
}

TEST_F(IdentityLifecycle, WithoutAnIdentityOnlyAbortWorks) {
    fake.files.create_directories(directory);
    fake.files.put_file(pending_path, "pending");
    const auto prepared = prepare();
    ASSERT_FALSE(prepared);
    EXPECT_EQ(prepared.error(), DetailCode::IDENTITY_READ_FAILED);
    const auto committed = commit();
    ASSERT_FALSE(committed);
    EXPECT_EQ(committed.error(), DetailCode::IDENTITY_READ_FAILED);
    ASSERT_TRUE(abort());
    EXPECT_FALSE(has(pending_path));
}

TEST_F(IdentityLifecycle, FailedPrepareWritesLeaveNoPendingFile) {
    ASSERT_TRUE(ensure());
    const auto before = snapshot();
    for (const char* fault :
         {"write_file", "flush_file", "restrict_access", "move_file", "protect"}) {
        fake.faults.fail_nth(fault);
        const auto prepared = prepare();
        ASSERT_FALSE(prepared) << fault;
        EXPECT_EQ(snapshot(), before) << fault;
    }
    // Securing fails after the move (the temporary was secured): the valid pending file stays
    // and is returned next time.
    fake.faults.fail_nth("restrict_access", 2);
    const auto unsecured = prepare();
    ASSERT_FALSE(unsecured);
    EXPECT_EQ(unsecured.error(), DetailCode::SECURE_PATH_ACL_FAILED);
    const auto written = read_identity_file(fake.platform, pending_path);
    ASSERT_TRUE(written);
    const auto again = prepare();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->public_key, written->public_key);
    EXPECT_TRUE(fake.files.is_restricted(pending_path));
}

TEST_F(IdentityLifecycle, CommitFailures) {
    struct Case {
        const char* operation;
        int nth;
        DetailCode expected;
        bool moved;
    };
    const std::vector<Case> cases = {
        {"read_file", 1, DetailCode::IDENTITY_READ_FAILED, false},
        {"read_file", 2, DetailCode::IDENTITY_READ_FAILED, false},
        {"move_file", 1, DetailCode::IDENTITY_ROTATION_COMMIT_FAILED, false},
        {"restrict_access", 1, DetailCode::SECURE_PATH_ACL_FAILED, true},
        {"create_new_file", 1, DetailCode::IDENTITY_WRITE_FAILED, true},
        {"move_file", 2, DetailCode::IDENTITY_METADATA_WRITE_FAILED, true},
        {"restrict_access", 2, DetailCode::SECURE_PATH_ACL_FAILED, true},  // metadata temporary
        {"restrict_access", 3, DetailCode::SECURE_PATH_ACL_FAILED, true},  // metadata.json
    };
    for (const auto& c : cases) {
        fake::FakePlatform local;
        fake::install_fake_components(local);
        ASSERT_TRUE(ensure_identity(local.runtime, directory));
        const auto pending = prepare_rotation(local.runtime, directory);
        ASSERT_TRUE(pending);
        const std::string name = std::string(c.operation) + "#" + std::to_string(c.nth);
        local.faults.fail_nth(c.operation, c.nth);
        const auto committed = commit_rotation(local.runtime, directory);
        ASSERT_FALSE(committed) << name;
        EXPECT_EQ(committed.error(), c.expected) << name;
        EXPECT_EQ(local.files.path_kind(pending_path) == platform::PathKind::missing, c.moved)
            << name;
        // Whatever was left, the next ensure ends with files that agree.
        const auto current = ensure_identity(local.runtime, directory);
        ASSERT_TRUE(current) << name;
        EXPECT_EQ(current->key_version, c.moved ? 2u : 1u) << name;
        EXPECT_EQ(read_metadata(local.platform, metadata_path), public_identity_of(*current))
            << name;
    }
}

}  // namespace
}  // namespace velnaro
