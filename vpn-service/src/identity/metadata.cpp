#include "identity/metadata.hpp"

#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "core/secret_buffer.hpp"
#include "identity/identity_file.hpp"

namespace velnaro {
namespace {

constexpr std::size_t kMaxMetadataBytes = 4096;

using Json = nlohmann::json;

// Accepts exactly one flat object with the three members; refuses everything else as soon
// as it is seen, so a large or deep document costs nothing beyond its first wrong token.
class MetadataReader final : public nlohmann::json_sax<Json> {
  public:
    std::optional<PublicIdentity> result() const {
        if (!finished_ || !installation_id_ || !public_key_ || !key_version_) {
            return std::nullopt;
        }
        return PublicIdentity{*installation_id_, *public_key_, *key_version_};
    }

    bool start_object(std::size_t) override {
        if (depth_ != 0 || finished_)
            return false;
        depth_ = 1;
        return true;
    }
    bool end_object() override {
        depth_ = 0;
        finished_ = true;
        return true;
    }
    bool key(string_t& name) override {
        if (name == "installationId" && !installation_id_) {
            member_ = Member::installation_id;
        } else if (name == "publicKey" && !public_key_) {
            member_ = Member::public_key;
        } else if (name == "keyVersion" && !key_version_) {
            member_ = Member::key_version;
        } else {
            return false;  // unknown or repeated
        }
        return true;
    }
    bool string(string_t& value) override {
        if (member_ == Member::installation_id) {
            const auto uuid = parse_uuid_text(value);
            if (!uuid)
                return false;
            installation_id_ = uuid_to_text(*uuid);
        } else if (member_ == Member::public_key) {
            public_key_ = value;
        } else {
            return false;
        }
        member_ = Member::none;
        return true;
    }
    bool number_unsigned(number_unsigned_t value) override {
        if (member_ != Member::key_version || value > std::numeric_limits<std::uint32_t>::max()) {
            return false;
        }
        key_version_ = static_cast<std::uint32_t>(value);
        member_ = Member::none;
        return true;
    }
    bool number_integer(number_integer_t value) override {
        // Only "-0" arrives here with a value in range.
        if (value != 0)
            return false;
        return number_unsigned(0);
    }
    bool number_float(number_float_t, const string_t&) override { return false; }
    bool null() override { return false; }
    bool boolean(bool) override { return false; }
    bool binary(binary_t&) override { return false; }
    bool start_array(std::size_t) override { return false; }
    bool end_array() override { return false; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    enum class Member { none, installation_id, public_key, key_version };

    int depth_ = 0;
    bool finished_ = false;
    Member member_ = Member::none;
    std::optional<std::string> installation_id_;
    std::optional<std::string> public_key_;
    std::optional<std::uint32_t> key_version_;
};

std::optional<std::string> json_string(std::string_view text) {
    try {
        return Json(text).dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception&) {
        return std::nullopt;  // not valid UTF-8
    }
}

}  // namespace

Outcome<std::string> format_metadata(const PublicIdentity& identity) {
    const auto installation_id = json_string(identity.installation_id);
    const auto public_key = json_string(identity.public_key);
    if (!installation_id || !public_key)
        return fail(DetailCode::IDENTITY_METADATA_INVALID);
    std::string text = "{\n  \"installationId\": ";
    text += *installation_id;
    text += ",\n  \"publicKey\": ";
    text += *public_key;
    text += ",\n  \"keyVersion\": ";
    text += std::to_string(identity.key_version);
    text += "\n}";
    return text;
}

Outcome<void> write_metadata(platform::Platform& platform, std::string_view path,
                      const PublicIdentity& identity) {
    const auto text = format_metadata(identity);
    if (!text)
        return fail(text.error());
    // Replaced in one move: the old metadata stays readable until the new is complete.
    return write_beside(platform, path, as_bytes(*text), true,
                        DetailCode::IDENTITY_METADATA_WRITE_FAILED);
}

Outcome<PublicIdentity> parse_metadata(std::string_view text) {
    if (text.size() > kMaxMetadataBytes)
        return fail(DetailCode::IDENTITY_METADATA_INVALID);
    MetadataReader reader;
    const bool parsed = Json::sax_parse(text.begin(), text.end(), &reader,
                                        nlohmann::detail::input_format_t::json, true);
    auto identity = reader.result();
    if (!parsed || !identity)
        return fail(DetailCode::IDENTITY_METADATA_INVALID);
    return std::move(*identity);
}

Outcome<PublicIdentity> read_metadata(platform::Platform& platform, std::string_view path) {
    auto bytes = platform.files.read_file(path, kMaxMetadataBytes);
    if (!bytes)
        return fail(DetailCode::IDENTITY_METADATA_READ_FAILED, std::move(bytes.error()));
    return parse_metadata(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

}  // namespace velnaro
