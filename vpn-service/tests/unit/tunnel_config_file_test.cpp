#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/base64.hpp"
#include "fake/fake_components.hpp"
#include "fake/fake_platform.hpp"
#include "fake/hooked_file_system.hpp"
#include "identity/identity_file.hpp"
#include "identity/identity_lifecycle.hpp"
#include "platform/paths.hpp"
#include "protected_storage/sealed_blob.hpp"
#include "self_test/tunnel_config_self_test.hpp"
#include "tunnel_config/config_file.hpp"
#include "wireguard/keys.hpp"

namespace velnaro {
namespace {

using fake::FakePlatform;
using fake::HookedPlatform;

bool is_temporary_name(std::string_view path) {
    const std::string_view name = file_name(path);
    return name.starts_with(".VelnaroTunnel.conf.dpapi.") && name.ends_with(".tmp");
}

// A data directory with the components installed, so identities can be created.
class ConfigFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::install_fake_components(fake);
        ASSERT_TRUE(fake.files.create_directories(directory));
    }

    DeviceIdentity identity() {
        auto ensured = ensure_identity(fake.runtime, directory);
        EXPECT_TRUE(ensured.has_value());
        return ensured ? std::move(*ensured) : DeviceIdentity{};
    }

    std::string private_key_base64() { return encode_base64(identity().private_key.span()); }

    std::vector<std::string> temporary_files() const {
        std::vector<std::string> found;
        for (const auto& path : fake.files.all_files()) {
            if (is_temporary_name(path))
                found.push_back(path);
        }
        return found;
    }

    std::optional<std::string> stored_text() {
        auto text = read_tunnel_config_text(fake.platform, final_path);
        if (!text)
            return std::nullopt;
        return std::string(as_text(*text));
    }

    FakePlatform fake;
    std::string directory = join_path(fake::fake_root(), "data");
    std::string final_path = join_path(directory, "VelnaroTunnel.conf.dpapi");
    TunnelConfig config = sample_tunnel_config();
};

TEST_F(ConfigFileTest, RendersTheSampleAsNineLinesByteForByte) {
    const std::string key = private_key_base64();
    const auto text = render_tunnel_config_text(identity(), config);
    ASSERT_TRUE(text.has_value()) << to_text(text.error());
    EXPECT_EQ(as_text(*text),
              "[Interface]\n"
              "PrivateKey = " +
                  key +
                  "\n"
                  "Address = 10.250.10.21/32\n"
                  "\n"
                  "[Peer]\n"
                  "PublicKey = AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n"
                  "Endpoint = gateway.example.net:51820\n"
                  "AllowedIPs = 10.250.0.0/16\n"
                  "PersistentKeepalive = 25\n");
}

TEST_F(ConfigFileTest, RendersValuesExactlyAsWritten) {
    const std::string key = private_key_base64();
    config.address = "10.1.2.3/+024";
    config.allowed_ips = {"10.1.0.0/16", "10.2.0.0/16"};
    config.endpoint_port = 1;
    config.persistent_keepalive = 300;
    const auto text = render_tunnel_config_text(identity(), config);
    ASSERT_TRUE(text.has_value());
    const std::string_view rendered = as_text(*text);
    EXPECT_NE(rendered.find("\nAddress = 10.1.2.3/+024\n"), std::string_view::npos);
    EXPECT_NE(rendered.find("\nAllowedIPs = 10.1.0.0/16, 10.2.0.0/16\n"), std::string_view::npos);
    EXPECT_NE(rendered.find("\nEndpoint = gateway.example.net:1\n"), std::string_view::npos);
    EXPECT_TRUE(rendered.ends_with("\nPersistentKeepalive = 300\n"));
    EXPECT_EQ(rendered.find('\r'), std::string_view::npos);
}

// The text a stored file holds is read back into the configuration it was rendered from and
// held to the validation's rules; a line changed by hand, or a rule an older release did not
// have, gives the file's own code.
TEST_F(ConfigFileTest, AStoredTextIsReadBackAndHeldToTheRules) {
    config.address = "10.1.2.3/+024";
    config.allowed_ips = {"10.1.0.0/16", "10.2.0.0/16"};
    const auto text = render_tunnel_config_text(identity(), config);
    ASSERT_TRUE(text.has_value());
    const std::string good(as_text(*text));
    EXPECT_EQ(read_back_tunnel_config(good), config);
    EXPECT_TRUE(check_stored_tunnel_config(good));

    const auto with = [&](std::string_view line, std::string_view replacement) {
        std::string changed = good;
        const auto at = changed.find(line);
        return at == std::string::npos ? std::string("<missing line>")
                                       : changed.replace(at, line.size(), replacement);
    };
    const std::string allowed = "AllowedIPs = 10.1.0.0/16, 10.2.0.0/16";
    const std::string endpoint = "Endpoint = gateway.example.net:51820";
    for (const std::string& bad :
         {with(allowed, "AllowedIPs = 10.0.0.0/1"),
          with(allowed, "AllowedIPs = 10.1.0.0/16, 0.0.0.0/0"),
          with("Address = 10.1.2.3/+024", "Address = 8.8.8.8/32"),
          with(endpoint, "Endpoint = gate_way:51820"),
          with(endpoint, "Endpoint = gateway.example.net:0"),
          with("PersistentKeepalive = 25", "PersistentKeepalive = 301"),
          with("PublicKey = ", "PublicKey = -"), with("[Peer]\n", ""), good + "\n"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(check_stored_tunnel_config(bad),
                  Outcome<void>(fail(DetailCode::TUNNEL_CONFIG_STORED_INVALID)));
    }

    // The file is judged as it is and left so.
    const auto sealed = seal_secret(
        fake.platform, as_bytes(with(allowed, "AllowedIPs = 10.0.0.0/1")), kTunnelDescription);
    ASSERT_TRUE(sealed.has_value());
    fake.files.put_file(final_path, *sealed);
    EXPECT_EQ(check_stored_tunnel_config_file(fake.platform, final_path),
              Outcome<void>(fail(DetailCode::TUNNEL_CONFIG_STORED_INVALID)));
    EXPECT_EQ(fake.files.read_file(final_path, 16384), *sealed);
    // What does not open is left for the library to refuse, as before; what this reader
    // refuses (over its limit, a link or anything else it will not read) never reaches it.
    EXPECT_TRUE(check_stored_tunnel_config_file(fake.platform, final_path + ".absent"));
    fake.files.put_file(final_path, std::vector<std::uint8_t>(16385, 1));
    EXPECT_EQ(check_stored_tunnel_config_file(fake.platform, final_path),
              Outcome<void>(fail(DetailCode::TUNNEL_CONFIG_STORED_INVALID)));
    fake.faults.fail_nth("read_file");
    EXPECT_EQ(check_stored_tunnel_config_file(fake.platform, final_path),
              Outcome<void>(fail(DetailCode::TUNNEL_CONFIG_STORED_INVALID)));
}

TEST_F(ConfigFileTest, RenderRefusesAnInvalidConfiguration) {
    config.persistent_keepalive = 4;
    const auto text = render_tunnel_config_text(identity(), config);
    ASSERT_FALSE(text.has_value());
    EXPECT_EQ(text.error(), DetailCode::KEEPALIVE_INVALID);
}

TEST_F(ConfigFileTest, StoreReadsTheIdentityOnlyToEnsureIt) {
    identity();
    const int before_ensure = fake.faults.count("read_file");
    ASSERT_TRUE(ensure_identity(fake.runtime, directory));
    const int ensure_reads = fake.faults.count("read_file") - before_ensure;
    const int before_store = fake.faults.count("read_file");
    ASSERT_TRUE(store_tunnel_config(fake.runtime, directory, config));
    EXPECT_EQ(fake.faults.count("read_file") - before_store, ensure_reads);
}

TEST_F(ConfigFileTest, StoreCreatesTheIdentityAndPutsASecuredSealedFileInPlace) {
    const auto path = store_tunnel_config(fake.runtime, directory, config);
    ASSERT_TRUE(path.has_value()) << to_text(path.error());
    EXPECT_EQ(*path, final_path);
    EXPECT_EQ(fake.files.path_kind(join_path(directory, "identity.dat")),
              platform::PathKind::regular_file);
    EXPECT_TRUE(fake.files.is_restricted(final_path));
    EXPECT_TRUE(temporary_files().empty());
    EXPECT_EQ(fake.files.open_handles(), 0);

    const auto rendered = render_tunnel_config_text(identity(), config);
    ASSERT_TRUE(rendered.has_value());
    EXPECT_EQ(stored_text(), std::string(as_text(*rendered)));
    // Only the sealed blob reaches the disk.
    const auto raw = fake.files.file_text(final_path);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->find("PrivateKey"), std::string::npos);
}

TEST_F(ConfigFileTest, StoringTwiceLeavesOneFileWithTheSecondConfiguration) {
    ASSERT_TRUE(store_tunnel_config(fake.runtime, directory, config).has_value());
    config.endpoint_host = "second.example.net";
    ASSERT_TRUE(store_tunnel_config(fake.runtime, directory, config).has_value());
    EXPECT_TRUE(temporary_files().empty());
    const auto text = stored_text();
    ASSERT_TRUE(text.has_value());
    EXPECT_NE(text->find("Endpoint = second.example.net:51820"), std::string::npos);
    int configs = 0;
    for (const auto& path : fake.files.all_files()) {
        if (file_name(path).find("VelnaroTunnel") != std::string_view::npos)
            ++configs;
    }
    EXPECT_EQ(configs, 1);
}

TEST_F(ConfigFileTest, WritesTheWholeBlobThroughPartialWrites) {
    fake.files.write_chunk = 3;
    ASSERT_TRUE(store_tunnel_config(fake.runtime, directory, config).has_value());
    const auto rendered = render_tunnel_config_text(identity(), config);
    ASSERT_TRUE(rendered.has_value());
    EXPECT_EQ(stored_text(), std::string(as_text(*rendered)));
}

TEST_F(ConfigFileTest, ATextOverTheSealingLimitIsRefusedAndNothingWritten) {
    // Valid, but each prefix carries 300 leading zeros: sixteen of them pass 4096 bytes.
    config.allowed_ips.assign(16, "10.9.0.0/" + std::string(300, '0') + "16");
    ASSERT_TRUE(validate_tunnel_config(config).has_value());
    const auto path = store_tunnel_config(fake.runtime, directory, config);
    ASSERT_FALSE(path.has_value());
    EXPECT_EQ(path.error(), DetailCode::IDENTITY_SECRET_SIZE_INVALID);
    EXPECT_FALSE(fake.files.file_text(final_path).has_value());
    EXPECT_TRUE(temporary_files().empty());
}

TEST_F(ConfigFileTest, ARefusedConfigurationIsNotSealedAfterTheIdentityIsEnsured) {
    ASSERT_TRUE(store_tunnel_config(fake.runtime, directory, config).has_value());
    const auto before = fake.files.file_text(final_path);
    TunnelConfig refused = config;
    refused.address = "8.8.8.8/32";
    const int protects = fake.faults.count("protect");
    const auto path = store_tunnel_config(fake.runtime, directory, refused);
    ASSERT_FALSE(path.has_value());
    EXPECT_EQ(path.error(), DetailCode::ADDRESS_INVALID);
    EXPECT_EQ(fake.faults.count("protect"), protects);
    EXPECT_EQ(fake.files.file_text(final_path), before);
}

TEST_F(ConfigFileTest, ALostIdentityStopsTheStoreBeforeAnythingIsWritten) {
    private_key_base64();
    ASSERT_TRUE(fake.files.delete_file(join_path(directory, "identity.dat")));
    const auto path = store_tunnel_config(fake.runtime, directory, config);
    ASSERT_FALSE(path.has_value());
    EXPECT_EQ(path.error(), DetailCode::LOCAL_IDENTITY_LOST);
    EXPECT_FALSE(fake.files.file_text(final_path).has_value());
}

struct StoreFault {
    const char* operation;
    int from_end;  // 1: the last call of the operation in one store, 2: the one before
    DetailCode expected;
    bool new_file_in_place;
};

// Each fault hits one step of a second store, after a first store that left a file.
TEST_F(ConfigFileTest, EveryFailingStepReportsItsCodeAndKeepsThePreviousFile) {
    const StoreFault faults[] = {
        {"protect", 1, DetailCode::DPAPI_PROTECT_FAILED, false},
        {"random_bytes", 1, DetailCode::TUNNEL_CONFIG_WRITE_FAILED, false},
        {"create_new_file", 1, DetailCode::TUNNEL_CONFIG_WRITE_FAILED, false},
        {"write_file", 1, DetailCode::TUNNEL_CONFIG_WRITE_FAILED, false},
        {"flush_file", 1, DetailCode::TUNNEL_CONFIG_WRITE_FAILED, false},
        {"restrict_access", 2, DetailCode::SECURE_PATH_ACL_FAILED, false},
        {"restrict_access.descriptor", 2, DetailCode::SECURITY_DESCRIPTOR_INVALID, false},
        {"move_file", 1, DetailCode::TUNNEL_CONFIG_REPLACE_FAILED, false},
        {"restrict_access", 1, DetailCode::SECURE_PATH_ACL_FAILED, true},
    };
    for (const StoreFault& f : faults) {
        FakePlatform fresh;
        fake::install_fake_components(fresh);
        ASSERT_TRUE(fresh.files.create_directories(directory));
        ASSERT_TRUE(store_tunnel_config(fresh.runtime, directory, config).has_value());
        const auto previous = fresh.files.file_text(final_path);

        // Count the calls of one store so the fault can aim at the last ones.
        const int before = fresh.faults.count(f.operation);
        TunnelConfig second = config;
        second.endpoint_host = "second.example.net";
        ASSERT_TRUE(store_tunnel_config(fresh.runtime, directory, config).has_value());
        const int per_store = fresh.faults.count(f.operation) - before;
        ASSERT_GE(per_store, f.from_end) << f.operation;
        fresh.faults.fail_nth(f.operation, per_store - f.from_end + 1);

        const auto path = store_tunnel_config(fresh.runtime, directory, second);
        ASSERT_FALSE(path.has_value()) << f.operation;
        EXPECT_EQ(path.error(), f.expected) << f.operation;
        const auto text = read_tunnel_config_text(fresh.platform, final_path);
        ASSERT_TRUE(text.has_value()) << f.operation;
        EXPECT_EQ(as_text(*text).find("second.example.net") != std::string_view::npos,
                  f.new_file_in_place)
            << f.operation;
        if (!f.new_file_in_place) {
            EXPECT_EQ(fresh.files.file_text(final_path), previous);
        }
        EXPECT_EQ(fresh.files.open_handles(), 0) << f.operation;
        for (const auto& file : fresh.files.all_files()) {
            EXPECT_FALSE(is_temporary_name(file)) << f.operation << " left " << file;
        }
    }
}

TEST_F(ConfigFileTest, AFailedMoveIsReportedEvenWhenTheTemporaryFileCannotBeDeleted) {
    ASSERT_TRUE(store_tunnel_config(fake.runtime, directory, config).has_value());
    fake.faults.fail_nth("move_file");
    fake.faults.fail_nth("delete_file");
    const auto path = store_tunnel_config(fake.runtime, directory, config);
    ASSERT_FALSE(path.has_value());
    EXPECT_EQ(path.error(), DetailCode::TUNNEL_CONFIG_REPLACE_FAILED);
}

// Only the temporary names the writers make are removed; near misses and everything else
// stay.
TEST(LeftoverTemporaryFiles, OnlyTheWritersOwnNamesAreRemoved) {
    FakePlatform fake;
    const std::string directory = join_path(fake::fake_root(), "data");
    ASSERT_TRUE(fake.files.create_directories(directory));
    const std::string uuid = "0123abcd-4567-4890-a123-456789abcdef";
    const std::vector<std::string> ours = {".VelnaroTunnel.conf.dpapi." + uuid + ".tmp",
                                           "identity.tmp-" + uuid, "identity.pending.tmp-" + uuid,
                                           "metadata.tmp-" + uuid};
    const std::vector<std::string> others = {"identity.dat",
                                             "metadata.json",
                                             "VelnaroTunnel.conf.dpapi",
                                             "other.tmp-" + uuid,
                                             "identity.tmp-0123ABCD-4567-4890-A123-456789ABCDEF",
                                             "identity.tmp-" + uuid + "x",
                                             ".VelnaroTunnel.conf.dpapi.tmp",
                                             "VelnaroTunnel.conf.dpapi." + uuid + ".tmp"};
    for (const auto& names : {ours, others}) {
        for (const auto& name : names)
            fake.files.put_file(join_path(directory, name), "x");
    }
    EXPECT_EQ(remove_leftover_temporary_files(fake.platform, directory), ours.size());
    for (const auto& name : ours)
        EXPECT_EQ(fake.files.path_kind(join_path(directory, name)), platform::PathKind::missing);
    for (const auto& name : others)
        EXPECT_EQ(fake.files.path_kind(join_path(directory, name)),
                  platform::PathKind::regular_file);
}

TEST(ConfigFileWrites, AWriteThatTakesNothingFailsInsteadOfLoopingForEver) {
    HookedPlatform hooked;
    const std::string directory = join_path(fake::fake_root(), "data");
    ASSERT_TRUE(hooked.fake.files.create_directories(directory));
    // The identity files go through the same writes: create the identity first.
    ASSERT_TRUE(ensure_identity(hooked.runtime, directory).has_value());
    int writes = 0;
    hooked.files.on_write = [&](std::span<const std::uint8_t>) -> platform::OsResult<std::size_t> {
        ++writes;
        return 0;
    };
    const auto path = store_tunnel_config(hooked.runtime, directory, sample_tunnel_config());
    ASSERT_FALSE(path.has_value());
    EXPECT_EQ(path.error(), DetailCode::TUNNEL_CONFIG_WRITE_FAILED);
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(hooked.fake.files.open_handles(), 0);
}

TEST(ConfigFileRead, ReadsBackOnlyItsOwnSealedText) {
    FakePlatform fake;
    const std::string path = join_path(fake::fake_root(), "VelnaroTunnel.conf.dpapi");
    const auto missing = read_tunnel_config_text(fake.platform, path);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), DetailCode::TUNNEL_CONFIG_READ_FAILED);

    const auto other = seal_secret(fake.platform, as_bytes("[Interface]\n"), kIdentityDescription);
    ASSERT_TRUE(other.has_value());
    fake.files.put_file(path, *other);
    const auto mismatch = read_tunnel_config_text(fake.platform, path);
    ASSERT_FALSE(mismatch.has_value());
    EXPECT_EQ(mismatch.error(), DetailCode::DPAPI_DESCRIPTION_MISMATCH);
}

TEST(ConfigFileCheck, AcceptsOnlyAnInterfaceTextWithAPrivateKey) {
    const struct {
        std::string_view text;
        bool valid;
    } cases[] = {
        {"[Interface]\nPrivateKey = abc\n", true},
        {"[Interface]PrivateKey =", true},
        {"[Interface]", false},
        {"[Interface]\n", false},
        {"[interface]\nPrivateKey = abc\n", false},
        {" [Interface]\nPrivateKey = abc\n", false},
        {"[Interface]\nPrivateKey= abc\n", false},
        {"[Interface]\nprivatekey = abc\n", false},
        {"", false},
    };
    for (const auto& c : cases) {
        const Outcome<void> checked = check_tunnel_config_text(c.text);
        EXPECT_EQ(checked.has_value(), c.valid) << c.text;
        if (!checked) {
            EXPECT_EQ(checked.error(), DetailCode::TUNNEL_CONFIG_CONTENT_INVALID);
        }
    }
}

TEST(ConfigFileScan, FindsOnlyNamesWhoseExtensionIsExactlyConf) {
    const struct {
        std::string_view name;
        bool plaintext;
    } cases[] = {
        {"x.conf", true},
        {"VelnaroTunnel.conf", true},
        {"a..conf", true},
        {"\xff\xfe.conf", true},
        {".conf", false},
        {"x.CONF", false},
        {"x.conf.dpapi", false},
        {".VelnaroTunnel.conf.dpapi.0b8e6c7e-8f25-4f43-9a43-5a1d6b7c8d9e.tmp", false},
        {"conf", false},
        {"x.conf.", false},
        {"x.confx", false},
    };
    for (const auto& c : cases) {
        FakePlatform fake;
        const std::string directory = join_path(fake::fake_root(), "scan");
        ASSERT_TRUE(fake.files.create_directories(directory));
        fake.files.put_file(join_path(directory, "identity.dat"), "x");
        fake.files.put_file(join_path(directory, c.name), "x");
        const auto found = find_plaintext_config(fake.platform, directory);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(*found, c.plaintext) << c.name;
    }
}

TEST(ConfigFileScan, AListingThatCannotBeOpenedIsAReadFailure) {
    FakePlatform fake;
    const auto missing = find_plaintext_config(fake.platform, join_path(fake::fake_root(), "none"));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), DetailCode::TUNNEL_CONFIG_READ_FAILED);
}

// The self-test, which drives the whole file round trip in a scratch directory.
bool scratch_directory_left(FakePlatform& fake) {
    for (const auto& d : fake.files.directories) {
        if (d.find("velnaro-vpn-config-") != std::string::npos)
            return true;
    }
    for (const auto& f : fake.files.all_files()) {
        if (f.find("velnaro-vpn-config-") != std::string::npos)
            return true;
    }
    return false;
}

TEST(TunnelConfigSelfTest, PassesAndRemovesItsDirectory) {
    FakePlatform fake;
    fake::install_fake_components(fake);
    const auto result = tunnel_config_self_test(fake.runtime);
    EXPECT_EQ(result, (TunnelConfigSelfTestResult{true, true, std::nullopt}));
    EXPECT_FALSE(scratch_directory_left(fake));
    EXPECT_EQ(tunnel_config_self_test_json(result),
              R"({"success":true,"encryptedOnly":true,"detailCode":null})");
}

TEST(TunnelConfigSelfTest, FailuresAreReportedAndTheDirectoryStillRemoved) {
    const struct {
        const char* operation;
        DetailCode expected;
        int removals;
        int nth;  // 0: every call fails
    } cases[] = {
        {"temporary_directory", DetailCode::TUNNEL_CONFIG_TEST_DIRECTORY_FAILED, 0, 0},
        {"create_directories", DetailCode::TUNNEL_CONFIG_TEST_DIRECTORY_FAILED, 1, 0},
        {"protect", DetailCode::DPAPI_PROTECT_FAILED, 1, 0},
        // The first listing is the component folder's, checked before the libraries load.
        {"list_directory", DetailCode::TUNNEL_CONFIG_READ_FAILED, 1, 2},
    };
    for (const auto& c : cases) {
        FakePlatform fake;
        fake::install_fake_components(fake);
        if (c.nth == 0)
            fake.faults.fail_always(c.operation);
        else
            fake.faults.fail_nth(c.operation, c.nth);
        const auto result = tunnel_config_self_test(fake.runtime);
        EXPECT_EQ(result, (TunnelConfigSelfTestResult{false, false, c.expected})) << c.operation;
        EXPECT_EQ(fake.faults.count("remove_tree"), c.removals) << c.operation;
        EXPECT_FALSE(scratch_directory_left(fake)) << c.operation;
    }
}

TEST(TunnelConfigSelfTest, WithoutComponentsReportsTheKeyGenerationCode) {
    FakePlatform fake;
    const auto result = tunnel_config_self_test(fake.runtime);
    EXPECT_FALSE(result.success);
    EXPECT_FALSE(result.encrypted_only);
    EXPECT_EQ(result.failure, resolve_component_directory(fake.platform).error());
    EXPECT_FALSE(scratch_directory_left(fake));
}

TEST(TunnelConfigSelfTest, AFailedRemovalDoesNotChangeTheResult) {
    FakePlatform fake;
    fake::install_fake_components(fake);
    fake.faults.fail_always("remove_tree");
    EXPECT_TRUE(tunnel_config_self_test(fake.runtime).success);
}

TEST(TunnelConfigSelfTest, ReadFailureOfTheWrittenFile) {
    HookedPlatform hooked;
    hooked.files.on_read = [](std::vector<std::uint8_t>&) { return false; };
    const auto result = tunnel_config_self_test(hooked.runtime);
    EXPECT_EQ(result,
              (TunnelConfigSelfTestResult{false, false, DetailCode::TUNNEL_CONFIG_READ_FAILED}));
}

TEST(TunnelConfigSelfTest, ReportsAClearTextConfigurationLeftBeside) {
    HookedPlatform hooked;
    hooked.files.on_list = [](std::vector<std::string>& names) {
        names.push_back("VelnaroTunnel.conf");
    };
    const auto result = tunnel_config_self_test(hooked.runtime);
    EXPECT_EQ(result, (TunnelConfigSelfTestResult{false, false,
                                                  DetailCode::TUNNEL_CONFIG_PLAINTEXT_FOUND}));
    EXPECT_EQ(
        tunnel_config_self_test_json(result),
        R"({"success":false,"encryptedOnly":false,"detailCode":"TUNNEL_CONFIG_PLAINTEXT_FOUND"})");
}

TEST(TunnelConfigSelfTest, ReportsSealedTextThatIsNotAConfiguration) {
    HookedPlatform hooked;
    hooked.files.on_read = [&](std::vector<std::uint8_t>& bytes) {
        bytes =
            *seal_secret(hooked.platform, as_bytes("[Peer]\nPrivateKey = x\n"), kTunnelDescription);
        return true;
    };
    const auto result = tunnel_config_self_test(hooked.runtime);
    EXPECT_EQ(result.failure, DetailCode::TUNNEL_CONFIG_CONTENT_INVALID);
}

}  // namespace
}  // namespace velnaro
