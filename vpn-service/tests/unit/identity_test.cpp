#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/base64.hpp"
#include "fake/fake_platform.hpp"
#include "identity/identity_file.hpp"
#include "identity/identity_payload.hpp"
#include "identity/metadata.hpp"
#include "platform/paths.hpp"
#include "protected_storage/sealed_blob.hpp"

namespace velnaro {
namespace {

constexpr std::uint32_t kLastVersion = 4294967295u;

DeviceIdentity sample_identity(std::uint32_t key_version = 1, std::uint8_t seed = 0x10) {
    DeviceIdentity identity;
    for (std::size_t i = 0; i < 16; ++i) {
        identity.installation_id[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    std::array<std::uint8_t, 32> public_key{};
    for (std::size_t i = 0; i < 32; ++i) {
        public_key[i] = static_cast<std::uint8_t>(seed + i);
        identity.private_key.data()[i] = static_cast<std::uint8_t>(0x80 + seed + i);
    }
    identity.public_key = encode_base64(public_key);
    identity.key_version = key_version;
    return identity;
}

std::vector<std::uint8_t> payload_of(const DeviceIdentity& identity) {
    const auto payload = encode_identity_payload(identity);
    EXPECT_TRUE(payload);
    return std::vector<std::uint8_t>(payload->begin(), payload->end());
}

TEST(IdentityPayload, LaysOutFieldsAtTheirOffsets) {
    const DeviceIdentity identity = sample_identity(0x01020304);
    const auto payload = payload_of(identity);
    ASSERT_EQ(payload.size(), 92u);
    EXPECT_EQ(std::string(payload.begin(), payload.begin() + 8), "VLVPNID1");
    EXPECT_EQ(std::vector<std::uint8_t>(payload.begin() + 8, payload.begin() + 12),
              (std::vector<std::uint8_t>{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(payload[12], 0xA0);
    EXPECT_EQ(payload[27], 0xAF);
    EXPECT_EQ(payload[28], 0x10);
    EXPECT_EQ(payload[59], 0x10 + 31);
    EXPECT_EQ(payload[60], 0x90);
    EXPECT_EQ(payload[91], 0x90 + 31);

    const auto decoded = decode_identity_payload(payload);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(same_public_identity(*decoded, identity));
    EXPECT_EQ(decoded->private_key, identity.private_key);
}

TEST(IdentityPayload, EncodingRefusesBadPublicKeysAndVersionZero) {
    struct Case {
        const char* name;
        std::string public_key;
        std::uint32_t key_version;
        DetailCode expected;
    };
    const std::string good = sample_identity().public_key;
    const std::vector<Case> cases = {
        {"unused bits set", std::string(42, 'A') + "B=", 1,
         DetailCode::IDENTITY_PUBLIC_KEY_INVALID},
        {"padding missing", good.substr(0, 43), 1, DetailCode::IDENTITY_PUBLIC_KEY_INVALID},
        {"not base64", std::string(43, '*') + "=", 1, DetailCode::IDENTITY_PUBLIC_KEY_INVALID},
        {"31 bytes", encode_base64(std::vector<std::uint8_t>(31, 1)), 1,
         DetailCode::IDENTITY_PAYLOAD_INVALID},
        {"33 bytes", encode_base64(std::vector<std::uint8_t>(33, 1)), 1,
         DetailCode::IDENTITY_PAYLOAD_INVALID},
        {"version zero", good, 0, DetailCode::IDENTITY_PAYLOAD_INVALID},
    };
    for (const auto& c : cases) {
        DeviceIdentity identity = sample_identity();
        identity.public_key = c.public_key;
        identity.key_version = c.key_version;
        const auto payload = encode_identity_payload(identity);
        ASSERT_FALSE(payload) << c.name;
        EXPECT_EQ(payload.error(), c.expected) << c.name;
    }
    // All-zero keys are refused only when read back.
    DeviceIdentity zero_keys = sample_identity();
    zero_keys.public_key = std::string(43, 'A') + "=";
    zero_keys.private_key.wipe();
    EXPECT_TRUE(encode_identity_payload(zero_keys));
}

TEST(IdentityPayload, DecodingRefusesEveryBrokenRule) {
    const auto good = payload_of(sample_identity());
    auto with = [&](auto change) {
        auto bytes = good;
        change(bytes);
        return bytes;
    };
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases = {
        {"91 bytes", with([](auto& b) { b.pop_back(); })},
        {"93 bytes", with([](auto& b) { b.push_back(1); })},
        {"empty", {}},
        {"magic", with([](auto& b) { b[7] = '2'; })},
        {"version zero", with([](auto& b) { std::fill(b.begin() + 8, b.begin() + 12, 0); })},
        {"zero public key", with([](auto& b) { std::fill(b.begin() + 28, b.begin() + 60, 0); })},
        {"zero private key", with([](auto& b) { std::fill(b.begin() + 60, b.end(), 0); })},
    };
    for (const auto& [name, bytes] : cases) {
        const auto decoded = decode_identity_payload(bytes);
        ASSERT_FALSE(decoded) << name;
        EXPECT_EQ(decoded.error(), DetailCode::LOCAL_IDENTITY_CORRUPT) << name;
    }
}

TEST(IdentityPayload, SuccessorRule) {
    struct Case {
        const char* name;
        std::uint32_t current_version;
        std::uint32_t pending_version;
        std::uint8_t pending_seed;
        bool other_installation;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"next version, new key", 5, 6, 0x20, false, true},
        {"same key", 5, 6, 0x10, false, false},
        {"skipped version", 5, 7, 0x20, false, false},
        {"same version", 5, 5, 0x20, false, false},
        {"other installation", 5, 6, 0x20, true, false},
        {"saturated", kLastVersion, kLastVersion, 0x20, false, true},
    };
    for (const auto& c : cases) {
        const DeviceIdentity base = sample_identity(c.current_version, 0x10);
        DeviceIdentity pending = sample_identity(c.pending_version, c.pending_seed);
        if (c.other_installation)
            pending.installation_id[0] ^= 1;
        EXPECT_EQ(is_valid_successor(base, pending), c.valid) << c.name;
    }
}

class IdentityFiles : public ::testing::Test {
  protected:
    IdentityFiles() { fake.files.create_directories(directory); }

    std::vector<std::string> files_in_directory() { return *fake.files.list_directory(directory); }

    fake::FakePlatform fake;
    std::string directory = join_path(fake::fake_root(), "data");
    std::string identity_path = join_path(directory, "identity.dat");
    std::string metadata_path = join_path(directory, "metadata.json");
};

TEST_F(IdentityFiles, IdentityFileRoundTrips) {
    const DeviceIdentity identity = sample_identity(3);
    ASSERT_TRUE(write_identity_file(fake.platform, identity_path, identity));
    EXPECT_EQ(files_in_directory(), std::vector<std::string>{"identity.dat"});
    const auto read = read_identity_file(fake.platform, identity_path);
    ASSERT_TRUE(read);
    EXPECT_TRUE(same_public_identity(*read, identity));
    EXPECT_EQ(read->private_key, identity.private_key);
    // The file holds a sealed blob, never the payload in clear.
    const auto text = *fake.files.file_text(identity_path);
    EXPECT_EQ(text.find("VLVPNID1"), std::string::npos);
}

TEST_F(IdentityFiles, FailedIdentityWriteLeavesNoPartialOrTemporaryFile) {
    for (const char* fault :
         {"create_new_file", "write_file", "flush_file", "move_file", "random_bytes", "protect"}) {
        fake::FakePlatform local;
        local.files.create_directories(directory);
        local.files.write_chunk = 7;
        local.faults.fail_nth(fault);
        const auto written =
            write_identity_file(local.platform, identity_path, sample_identity());
        ASSERT_FALSE(written) << fault;
        EXPECT_EQ(written.error(), std::string_view(fault) == "protect"
                                       ? DetailCode::DPAPI_PROTECT_FAILED
                                       : DetailCode::IDENTITY_WRITE_FAILED)
            << fault;
        EXPECT_TRUE(local.files.list_directory(directory)->empty()) << fault;
        EXPECT_EQ(local.files.open_handles(), 0) << fault;
    }
}

TEST_F(IdentityFiles, IdentityWriteNeverReplacesAnExistingFile) {
    fake.files.put_file(identity_path, "existing");
    const auto written = write_identity_file(fake.platform, identity_path, sample_identity());
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), DetailCode::IDENTITY_WRITE_FAILED);
    EXPECT_EQ(fake.files.file_text(identity_path), "existing");
    EXPECT_EQ(files_in_directory(), std::vector<std::string>{"identity.dat"});
}

TEST_F(IdentityFiles, EncodingErrorsComeBeforeAnyFile) {
    DeviceIdentity identity = sample_identity();
    identity.key_version = 0;
    const auto written = write_identity_file(fake.platform, identity_path, identity);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), DetailCode::IDENTITY_PAYLOAD_INVALID);
    EXPECT_EQ(fake.faults.count("protect"), 0);
    EXPECT_TRUE(files_in_directory().empty());
}

TEST_F(IdentityFiles, ReadFailuresKeepTheirOwnCodes) {
    const auto sealed = [&](std::span<const std::uint8_t> bytes, std::string_view description) {
        return *seal_secret(fake.platform, bytes, description);
    };
    const auto good = payload_of(sample_identity());
    auto corrupt = good;
    corrupt[0] = 'X';
    struct Case {
        const char* name;
        std::optional<std::vector<std::uint8_t>> content;
        DetailCode expected;
    };
    const std::vector<Case> cases = {
        {"missing", std::nullopt, DetailCode::IDENTITY_READ_FAILED},
        {"tunnel description", sealed(good, kTunnelDescription),
         DetailCode::DPAPI_DESCRIPTION_MISMATCH},
        {"corrupt payload", sealed(corrupt, kIdentityDescription),
         DetailCode::LOCAL_IDENTITY_CORRUPT},
        {"not a blob", std::vector<std::uint8_t>(100, 7), DetailCode::DPAPI_UNPROTECT_FAILED},
        {"empty", std::vector<std::uint8_t>{}, DetailCode::IDENTITY_PROTECTED_SIZE_INVALID},
        {"oversized", std::vector<std::uint8_t>(20000, 7),
         DetailCode::IDENTITY_PROTECTED_SIZE_INVALID},
    };
    for (const auto& c : cases) {
        fake.files.files.erase(identity_path);
        if (c.content)
            fake.files.put_file(identity_path, *c.content);
        const auto read = read_identity_file(fake.platform, identity_path);
        ASSERT_FALSE(read) << c.name;
        EXPECT_EQ(read.error(), c.expected) << c.name;
    }
    fake.files.put_file(identity_path, sealed(good, kIdentityDescription));
    fake.faults.fail_nth("read_file");
    const auto read = read_identity_file(fake.platform, identity_path);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), DetailCode::IDENTITY_READ_FAILED);
}

const PublicIdentity kSamplePublic{"0f8fad5b-d9cb-469f-a165-70867728950e",
                                   "xTIBA5yUKmGWAYSHCAKMpbs0G7FXpQhJA1ylEoDvQCY=", 1};

TEST_F(IdentityFiles, MetadataLayoutIsExact) {
    ASSERT_TRUE(write_metadata(fake.platform, metadata_path, kSamplePublic));
    EXPECT_EQ(fake.files.file_text(metadata_path),
              "{\n"
              "  \"installationId\": \"0f8fad5b-d9cb-469f-a165-70867728950e\",\n"
              "  \"publicKey\": \"xTIBA5yUKmGWAYSHCAKMpbs0G7FXpQhJA1ylEoDvQCY=\",\n"
              "  \"keyVersion\": 1\n"
              "}");
    EXPECT_EQ(files_in_directory(), std::vector<std::string>{"metadata.json"});
    EXPECT_EQ(read_metadata(fake.platform, metadata_path), kSamplePublic);

    PublicIdentity last = kSamplePublic;
    last.key_version = kLastVersion;
    ASSERT_TRUE(write_metadata(fake.platform, metadata_path, last));
    EXPECT_EQ(read_metadata(fake.platform, metadata_path), last);
}

TEST_F(IdentityFiles, MetadataWriteGoesThroughATemporarySibling) {
    fake.files.put_file(metadata_path, "old");
    ASSERT_TRUE(write_metadata(fake.platform, metadata_path, kSamplePublic));
    const auto& calls = fake.faults.calls();
    const auto created = std::find(calls.begin(), calls.end(), "create_new_file");
    const auto moved = std::find(calls.begin(), calls.end(), "move_file");
    // One move replaces the old metadata: it is never deleted first, so it stays readable.
    EXPECT_TRUE(created < moved);
    EXPECT_EQ(fake.faults.count("delete_file"), 0);
    EXPECT_EQ(temporary_sibling(metadata_path, Uuid{}),
              join_path(directory, "metadata.tmp-00000000-0000-0000-0000-000000000000"));
}

TEST_F(IdentityFiles, MetadataWriteFailures) {
    struct Case {
        const char* fault;
        DetailCode expected;
    };
    for (const Case& c : {Case{"create_new_file", DetailCode::IDENTITY_WRITE_FAILED},
                          Case{"random_bytes", DetailCode::IDENTITY_WRITE_FAILED},
                          Case{"restrict_access", DetailCode::SECURE_PATH_ACL_FAILED},
                          Case{"move_file", DetailCode::IDENTITY_METADATA_WRITE_FAILED}}) {
        fake::FakePlatform local;
        local.files.create_directories(directory);
        local.files.put_file(metadata_path, "old");
        local.faults.fail_nth(c.fault);
        const auto written = write_metadata(local.platform, metadata_path, kSamplePublic);
        ASSERT_FALSE(written) << c.fault;
        EXPECT_EQ(written.error(), c.expected) << c.fault;
        const auto names = *local.files.list_directory(directory);
        const bool has_temporary = std::any_of(names.begin(), names.end(), [](const auto& n) {
            return n.starts_with("metadata.tmp-");
        });
        EXPECT_FALSE(has_temporary) << c.fault;
        EXPECT_EQ(local.files.file_text(metadata_path), "old") << c.fault;
    }
    PublicIdentity broken = kSamplePublic;
    broken.public_key = "\xFF";
    const auto written = write_metadata(fake.platform, metadata_path, broken);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), DetailCode::IDENTITY_METADATA_INVALID);
}

TEST(MetadataParsing, AcceptsTheThreeMembersInAnyOrderAndSpacing) {
    const std::vector<std::string> texts = {
        R"({"installationId":"0f8fad5b-d9cb-469f-a165-70867728950e","publicKey":"xTIBA5yUKmGWAYSHCAKMpbs0G7FXpQhJA1ylEoDvQCY=","keyVersion":1})",
        R"({"keyVersion":1,"publicKey":"xTIBA5yUKmGWAYSHCAKMpbs0G7FXpQhJA1ylEoDvQCY=","installationId":"0f8fad5b-d9cb-469f-a165-70867728950e"})",
        " \t\r\n{ \"publicKey\" : \"xTIBA5yUKmGWAYSHCAKMpbs0G7FXpQhJA1ylEoDvQCY=\" ,\n"
        "\"installationId\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\", \"keyVersion\" : 1 }\n\n",
    };
    for (const auto& text : texts) {
        EXPECT_EQ(parse_metadata(text), kSamplePublic) << text;
    }
    const auto any_key = parse_metadata(
        R"({"installationId":"0f8fad5b-d9cb-469f-a165-70867728950e","publicKey":"?","keyVersion":0})");
    ASSERT_TRUE(any_key);
    EXPECT_EQ(any_key->public_key, "?");
    EXPECT_EQ(any_key->key_version, 0u);
}

TEST(MetadataParsing, RefusesAnythingElse) {
    const std::string id = R"("installationId":"0f8fad5b-d9cb-469f-a165-70867728950e")";
    const std::string key = R"("publicKey":"k")";
    const std::vector<std::string> texts = {
        "",
        "not json",
        "{" + id + "," + key + "}",                                   // missing member
        "{" + id + "," + key + R"(,"keyVersion":1,"extra":1})",       // fourth member
        "{" + id + "," + key + R"(,"keyVersion":1,"keyVersion":1})",  // repeated
        "{" + id + "," + key + "," + key + R"(,"keyVersion":1})",     // repeated string
        "{" + id + "," + key + R"(,"keyVersion":"1"})",
        "{" + id + "," + key + R"(,"keyVersion":4294967296})",
        "{" + id + "," + key + R"(,"keyVersion":-1})",
        "{" + id + "," + key + R"(,"keyVersion":1.0})",
        "{" + id + "," + key + R"(,"keyVersion":1e0})",
        "{" + id + "," + key + R"(,"keyVersion":null})",
        "{" + id + "," + key + R"(,"keyVersion":[1]})",
        "{" + id + R"(,"publicKey":1,"keyVersion":1})",
        "{" + id + R"(,"publicKey":{"a":1},"keyVersion":1})",
        R"({"installationId":"not-a-uuid",)" + key + R"(,"keyVersion":1})",
        R"({"installationId":"0f8fad5b-d9cb-469f-a165-70867728950",)" + key + R"(,"keyVersion":1})",
        "{" + id + "," + key + R"(,"keyVersion":1} x)",
        "{" + id + "," + key + R"(,"keyVersion":1}{})",
        "{" + id + "," + key + R"(,"keyVersion":1)",
        R"(["0f8fad5b-d9cb-469f-a165-70867728950e","k",1])",
        "{" + id + R"(,"publicKey":"\xff","keyVersion":1})",
    };
    for (const auto& text : texts) {
        const auto parsed = parse_metadata(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error(), DetailCode::IDENTITY_METADATA_INVALID) << text;
    }
}

TEST_F(IdentityFiles, MetadataReadingLimitsAndFailures) {
    // Valid JSON padded with white space to 4096 and 4097 bytes.
    const std::string compact =
        R"({"installationId":"0f8fad5b-d9cb-469f-a165-70867728950e","publicKey":"xTIBA5yUKmGWAYSHCAKMpbs0G7FXpQhJA1ylEoDvQCY=","keyVersion":1})";
    fake.files.put_file(metadata_path, compact + std::string(4096 - compact.size(), ' '));
    EXPECT_EQ(read_metadata(fake.platform, metadata_path), kSamplePublic);
    fake.files.put_file(metadata_path, compact + std::string(4097 - compact.size(), ' '));
    auto read = read_metadata(fake.platform, metadata_path);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), DetailCode::IDENTITY_METADATA_INVALID);

    fake.faults.fail_nth("read_file");
    read = read_metadata(fake.platform, metadata_path);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), DetailCode::IDENTITY_METADATA_READ_FAILED);
    fake.files.files.erase(metadata_path);
    read = read_metadata(fake.platform, metadata_path);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), DetailCode::IDENTITY_METADATA_READ_FAILED);
}

}  // namespace
}  // namespace velnaro
