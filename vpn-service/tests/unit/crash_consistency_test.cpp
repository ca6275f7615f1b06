// Interrupts each write sequence of the data directory at every platform call in turn, drops
// what a crash would drop, and checks what the next process finds and can do.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/uuid.hpp"
#include "fake/fake_components.hpp"
#include "fake/fake_platform.hpp"
#include "identity/identity_file.hpp"
#include "identity/identity_lifecycle.hpp"
#include "identity/metadata.hpp"
#include "platform/paths.hpp"
#include "tunnel_config/config_file.hpp"
#include "wireguard/components.hpp"

namespace velnaro {
namespace {

using Loss = fake::FakeFileSystem::CrashLoss;
using Bytes = std::vector<std::uint8_t>;
using FileSet = std::map<std::string, Bytes>;

const std::string kDirectory = join_path(join_path(fake::fake_root(), "ProgramData"), "vpn");
const std::vector<std::string> kSecretFiles = {std::string(kIdentityFileName),
                                               std::string(kPendingIdentityFileName),
                                               std::string(kTunnelConfigFileName)};
const std::vector<std::string> kWatchedFiles = {
    std::string(kIdentityFileName), std::string(kPendingIdentityFileName),
    std::string(kTunnelConfigFileName), std::string(kMetadataFileName)};

bool is_secret(std::string_view name) {
    return name != kMetadataFileName;
}

std::string path_of(std::string_view name) {
    return join_path(kDirectory, name);
}

TunnelConfig config_for(std::string host) {
    TunnelConfig config;
    config.config_version = 1;
    config.address = "10.250.10.21/32";
    config.gateway_public_key = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    config.endpoint_host = std::move(host);
    config.endpoint_port = 51820;
    config.allowed_ips = {"10.250.0.0/16"};
    config.persistent_keepalive = 25;
    return config;
}

// The machine survives a crash; the process on it does not, so each restart brings an
// empty component cell, as a new process would have.
struct Machine {
    fake::FakePlatform fake;
    std::unique_ptr<wireguard::ComponentCell> cell;
    std::unique_ptr<Runtime> runtime;
    std::string pending_public_key;  // what prepare handed out during the setup, if it ran

    Machine() {
        fake::install_fake_components(fake);
        restart();
    }
    void restart() {
        cell = std::make_unique<wireguard::ComponentCell>();
        runtime = std::make_unique<Runtime>(Runtime{fake.platform, *cell});
    }
    Runtime& rt() { return *runtime; }

    // The secret files, and metadata.json, which must never be partial either: an invalid
    // one is reported, not repaired.
    FileSet watched_files() const {
        FileSet found;
        for (const auto& name : kWatchedFiles) {
            if (auto it = fake.files.files.find(path_of(name)); it != fake.files.files.end())
                found[name] = it->second;
        }
        return found;
    }
    std::vector<std::string> names() {
        auto listed = fake.files.list_directory(kDirectory);
        return listed ? *listed : std::vector<std::string>{};
    }
};

bool is_uuid_text(std::string_view text) {
    return text.size() == 36 && parse_uuid_text(text).has_value();
}

bool has_uuid_between(std::string_view name, std::string_view prefix, std::string_view suffix) {
    return name.size() == prefix.size() + 36 + suffix.size() && name.starts_with(prefix) &&
           name.ends_with(suffix) && is_uuid_text(name.substr(prefix.size(), 36));
}

// The data directory holds its four files and the temporary files whose names the writers
// document (each a fresh UUID, so a leftover never collides with a later write).
bool is_known_name(std::string_view name) {
    for (const auto& known : kSecretFiles) {
        if (name == known)
            return true;
    }
    return name == kMetadataFileName || has_uuid_between(name, "metadata.tmp-", "") ||
           has_uuid_between(name, "identity.tmp-", "") ||
           has_uuid_between(name, "identity.pending.tmp-", "") ||
           has_uuid_between(name, ".VelnaroTunnel.conf.dpapi.", ".tmp");
}

void expect_only_known_names(Machine& m) {
    for (const auto& name : m.names())
        EXPECT_TRUE(is_known_name(name)) << "stray file " << name;
}

// Each secret file present opens whole: the sealed blob opens and its content is valid.
void expect_secret_files_open(Machine& m) {
    for (const auto& [name, _] : m.watched_files()) {
        if (!is_secret(name))
            continue;
        if (name == kTunnelConfigFileName) {
            const auto text = read_tunnel_config_text(m.fake.platform, path_of(name));
            ASSERT_TRUE(text) << name << ": " << to_text(text.error());
            EXPECT_TRUE(check_tunnel_config_text(
                std::string_view(reinterpret_cast<const char*>(text->data()), text->size())));
        } else {
            const auto identity = read_identity_file(m.fake.platform, path_of(name));
            EXPECT_TRUE(identity) << name << ": " << to_text(identity.error());
        }
    }
}

// Every watched file is absent, or holds exactly what it held before the sequence or what
// the uninterrupted sequence leaves in it.
void expect_files_old_or_new(Machine& m, const FileSet& before, const FileSet& after) {
    for (const auto& [name, content] : m.watched_files()) {
        const bool old_content = before.count(name) && before.at(name) == content;
        const bool new_content = after.count(name) && after.at(name) == content;
        EXPECT_TRUE(old_content || new_content)
            << name << " holds " << content.size() << " bytes that are neither old nor new";
    }
    expect_secret_files_open(m);
}

void expect_metadata_matches(Machine& m, const DeviceIdentity& identity) {
    const auto stored = read_metadata(m.fake.platform, path_of(kMetadataFileName));
    ASSERT_TRUE(stored) << to_text(stored.error());
    EXPECT_EQ(*stored, public_identity_of(identity));
}

DeviceIdentity ensure_ok(Machine& m) {
    auto identity = ensure_identity(m.rt(), kDirectory);
    EXPECT_TRUE(identity) << to_text(identity.error());
    return identity ? std::move(*identity) : DeviceIdentity{};
}

struct Sequence {
    std::string name;
    std::function<void(Machine&)> setup;    // before the crash window; must succeed
    std::function<void(Machine&)> run;      // the interrupted operation
    std::function<void(Machine&)> recover;  // the next process, with its expectations
};

void setup_identity(Machine& m) {
    ASSERT_TRUE(ensure_identity(m.rt(), kDirectory));
}

void setup_prepared(Machine& m) {
    setup_identity(m);
    const auto pending = prepare_rotation(m.rt(), kDirectory);
    ASSERT_TRUE(pending);
    m.pending_public_key = pending->public_key;
}

void recover_rotation_committed(Machine& m) {
    const auto committed = commit_rotation(m.rt(), kDirectory);
    // NOT_PREPARED: the interrupted commit had already moved the pending identity in.
    if (!committed) {
        EXPECT_EQ(committed.error(), DetailCode::IDENTITY_ROTATION_NOT_PREPARED);
    }
    const DeviceIdentity identity = ensure_ok(m);
    EXPECT_EQ(identity.key_version, 2u);
    EXPECT_EQ(identity.public_key, m.pending_public_key);
    EXPECT_EQ(m.fake.files.path_kind(path_of(kPendingIdentityFileName)),
              platform::PathKind::missing);
    expect_metadata_matches(m, identity);
}

std::vector<Sequence> sequences() {
    return {
        {"create_identity", [](Machine&) {},
         [](Machine& m) { (void)ensure_identity(m.rt(), kDirectory); },
         [](Machine& m) {
             const DeviceIdentity identity = ensure_ok(m);
             EXPECT_EQ(identity.key_version, 1u);
             expect_metadata_matches(m, identity);
             EXPECT_EQ(ensure_ok(m).public_key, identity.public_key);
         }},
        {"prepare_rotation", setup_identity,
         [](Machine& m) { (void)prepare_rotation(m.rt(), kDirectory); },
         [](Machine& m) {
             const auto pending = prepare_rotation(m.rt(), kDirectory);
             ASSERT_TRUE(pending) << to_text(pending.error());
             EXPECT_EQ(pending->key_version, 2u);
             m.pending_public_key = pending->public_key;
             recover_rotation_committed(m);
         }},
        {"commit_rotation", setup_prepared,
         [](Machine& m) { (void)commit_rotation(m.rt(), kDirectory); }, recover_rotation_committed},
        {"write_metadata",
         [](Machine& m) {
             setup_identity(m);
             auto stale = read_metadata(m.fake.platform, path_of(kMetadataFileName));
             ASSERT_TRUE(stale);
             stale->key_version = 7;
             ASSERT_TRUE(write_metadata(m.fake.platform, path_of(kMetadataFileName), *stale));
         },
         [](Machine& m) {
             const auto identity = read_identity_file(m.fake.platform, path_of(kIdentityFileName));
             if (identity)
                 (void)write_metadata(m.fake.platform, path_of(kMetadataFileName),
                                      public_identity_of(*identity));
         },
         [](Machine& m) { expect_metadata_matches(m, ensure_ok(m)); }},
        {"store_first_config", [](Machine&) {},
         [](Machine& m) { (void)store_tunnel_config(m.rt(), kDirectory, config_for("a.example")); },
         [](Machine& m) {
             const auto stored = store_tunnel_config(m.rt(), kDirectory, config_for("a.example"));
             EXPECT_TRUE(stored) << to_text(stored.error());
             expect_metadata_matches(m, ensure_ok(m));
         }},
        {"store_replacing_config",
         [](Machine& m) {
             ASSERT_TRUE(store_tunnel_config(m.rt(), kDirectory, config_for("a.example")));
         },
         [](Machine& m) { (void)store_tunnel_config(m.rt(), kDirectory, config_for("b.example")); },
         [](Machine& m) {
             const auto stored = store_tunnel_config(m.rt(), kDirectory, config_for("b.example"));
             ASSERT_TRUE(stored) << to_text(stored.error());
             const auto text = read_tunnel_config_text(m.fake.platform, *stored);
             ASSERT_TRUE(text);
             const std::string clear(text->begin(), text->end());
             EXPECT_NE(clear.find("Endpoint = b.example:51820\n"), std::string::npos);
         }},
    };
}

const char* loss_name(Loss loss) {
    switch (loss) {
        case Loss::nothing:
            return "process killed";
        case Loss::unsynced:
            return "power cut, unsynced names lost";
        case Loss::unflushed_data:
            return "power cut, unflushed data lost";
        case Loss::torn_data:
            return "power cut, unflushed data torn";
    }
    return "?";
}

void PrintTo(const Sequence& sequence, std::ostream* out) {
    *out << sequence.name;
}

class CrashConsistency : public ::testing::TestWithParam<Sequence> {};

TEST_P(CrashConsistency, EveryInterruptionLeavesWholeFilesAndARecoverableDirectory) {
    const Sequence& sequence = GetParam();
    Machine reference;
    sequence.setup(reference);
    const FileSet before = reference.watched_files();
    sequence.run(reference);
    const FileSet after = reference.watched_files();
    ASSERT_NE(before, after) << "the sequence should change a file";

    for (Loss loss : {Loss::nothing, Loss::unsynced, Loss::unflushed_data, Loss::torn_data}) {
        for (int call = 1;; ++call) {
            ASSERT_LT(call, 500) << "the sequence never ends";
            Machine m;
            sequence.setup(m);
            if (HasFatalFailure())
                return;
            const std::size_t first_call = m.fake.faults.calls().size();
            m.fake.files.start_durability_tracking();
            m.fake.faults.crash_at_call(call);
            sequence.run(m);
            const bool crashed = m.fake.faults.crashed();
            const std::string operation =
                crashed ? m.fake.faults.calls()[first_call + call - 1] : "none (completed)";
            SCOPED_TRACE(std::string(loss_name(loss)) + ", crash at call " + std::to_string(call) +
                         ": " + operation);

            m.fake.faults.end_crash();
            m.fake.files.crash(loss);
            m.restart();
            expect_files_old_or_new(m, before, after);
            expect_only_known_names(m);
            if (!crashed) {
                // A secret file is put in place with a write-through move: once the
                // operation has returned, it is on disk.
                const FileSet now = m.watched_files();
                for (const auto& name : kSecretFiles) {
                    EXPECT_EQ(now.count(name), after.count(name)) << name;
                    if (now.count(name) && after.count(name)) {
                        EXPECT_EQ(now.at(name), after.at(name)) << name;
                    }
                }
            }

            sequence.recover(m);
            expect_secret_files_open(m);
            expect_only_known_names(m);
            if (HasFailure() || !crashed)
                break;
        }
        if (HasFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(WriteSequences, CrashConsistency, ::testing::ValuesIn(sequences()),
                         [](const auto& info) { return info.param.name; });

// The model itself: if it kept what a real crash loses, the test above would prove nothing.
struct ModelCase {
    const char* name;
    Loss loss;
    bool flush;
    platform::MoveMode move;
    std::optional<std::string> expected;  // content of "target" after the crash
};

TEST(CrashModel, KeepsOnlyWhatWasFlushedAndSynced) {
    using platform::MoveMode;
    const std::vector<ModelCase> cases = {
        {"process death keeps everything", Loss::nothing, false, MoveMode::replace, "new data"},
        {"unsynced rename is lost", Loss::unsynced, true, MoveMode::replace, "old"},
        {"synced rename of flushed data survives", Loss::unsynced, true,
         MoveMode::replace_write_through, "new data"},
        {"unflushed data behind a synced name is lost", Loss::unsynced, false,
         MoveMode::replace_write_through, ""},
        {"names kept, unflushed data lost", Loss::unflushed_data, false, MoveMode::replace, ""},
        {"names kept, unflushed data torn", Loss::torn_data, false, MoveMode::replace, "new "},
        {"flushed data is never torn", Loss::torn_data, true, MoveMode::replace, "new data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform fake;
        const std::string directory = join_path(fake::fake_root(), "d");
        const std::string target = join_path(directory, "target");
        const std::string temporary = join_path(directory, "temporary");
        fake.files.create_directories(directory);
        fake.files.put_file(target, "old");
        fake.files.start_durability_tracking();

        const auto file = fake.files.create_new_file(temporary);
        ASSERT_TRUE(file);
        const std::string data = "new data";
        ASSERT_TRUE(fake.files.write_file(file->get(), as_bytes(data)));
        if (c.flush) {
            ASSERT_TRUE(fake.files.flush_file(file->get()));
        }
        ASSERT_TRUE(fake.files.move_file(temporary, target, c.move));
        fake.files.crash(c.loss);

        EXPECT_EQ(fake.files.file_text(target), c.expected);
        EXPECT_FALSE(fake.files.file_text(temporary)) << "the temporary name was moved away";
    }
}

TEST(CrashModel, ACrashFailsTheChosenCallAndEveryCallAfterIt) {
    fake::FakePlatform fake;
    const std::string path = join_path(fake::fake_root(), "f");
    fake.faults.crash_at_call(2);
    EXPECT_EQ(fake.files.path_kind(fake::fake_root()), platform::PathKind::directory);
    EXPECT_FALSE(fake.files.create_new_file(path));
    EXPECT_TRUE(fake.faults.crashed());
    EXPECT_FALSE(fake.files.create_directories(join_path(fake::fake_root(), "x")));
    fake.faults.end_crash();
    EXPECT_TRUE(fake.files.create_new_file(path));
}

}  // namespace
}  // namespace velnaro
