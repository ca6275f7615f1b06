#include "identity/identity_file.hpp"

#include "identity/identity_payload.hpp"
#include "platform/paths.hpp"
#include "protected_storage/sealed_blob.hpp"
#include "protected_storage/secret_file.hpp"

namespace velnaro {
namespace {

// Largest blob that open_sealed_secret accepts; reading one byte more lets it tell the size.
constexpr std::size_t kMaxIdentityFileBytes = 16384;

}  // namespace

platform::OsResult<Uuid> random_uuid(platform::Platform& platform) {
    std::array<std::uint8_t, 16> random{};
    if (auto filled = platform.system.random_bytes(random); !filled)
        return std::unexpected(std::move(filled.error()));
    return make_uuid_v4(random);
}

namespace {

// The name without its extension; a leading dot starts a hidden name, not an extension.
std::string_view stem_of(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return (dot == std::string_view::npos || dot == 0) ? name : name.substr(0, dot);
}

constexpr std::string_view kTemporaryMark = ".tmp-";

}  // namespace

std::string temporary_sibling(std::string_view path, const Uuid& uuid) {
    const std::string_view name = file_name(path);
    std::string result(path.substr(0, path.size() - name.size() + stem_of(name).size()));
    result += kTemporaryMark;
    result += uuid_to_text(uuid);
    return result;
}

bool is_temporary_sibling(std::string_view name, std::string_view final_name) {
    const std::string_view stem = stem_of(final_name);
    if (!name.starts_with(stem) || !name.substr(stem.size()).starts_with(kTemporaryMark))
        return false;
    const std::string_view uuid = name.substr(stem.size() + kTemporaryMark.size());
    const auto parsed = parse_uuid_text(uuid);
    return parsed && uuid_to_text(*parsed) == uuid;
}

Outcome<void> write_beside(platform::Platform& platform, std::string_view path,
                    std::span<const std::uint8_t> bytes, bool replace, DetailCode move_failed) {
    auto uuid = random_uuid(platform);
    if (!uuid)
        return fail(DetailCode::IDENTITY_WRITE_FAILED, std::move(uuid.error()));
    const std::string temporary = temporary_sibling(path, *uuid);
    return write_secret_file(platform,
                             {.path = path,
                              .temporary = temporary,
                              .replace = replace,
                              .write_failed = DetailCode::IDENTITY_WRITE_FAILED,
                              .move_failed = move_failed},
                             bytes);
}

Outcome<void> write_identity_file(platform::Platform& platform, std::string_view path,
                           const DeviceIdentity& identity) {
    const auto payload = encode_identity_payload(identity);
    if (!payload)
        return fail(payload.error());
    const auto blob = seal_secret(platform, *payload, kIdentityDescription);
    if (!blob)
        return fail(blob.error());

    // The move refuses an existing target, which keeps the rule that an identity file is
    // only ever created, never overwritten.
    return write_beside(platform, path, *blob, false, DetailCode::IDENTITY_WRITE_FAILED);
}

Outcome<DeviceIdentity> read_identity_file(platform::Platform& platform, std::string_view path) {
    auto blob = platform.files.read_file(path, kMaxIdentityFileBytes);
    if (!blob)
        return fail(DetailCode::IDENTITY_READ_FAILED, std::move(blob.error()));
    const auto payload = open_sealed_secret(platform, *blob, kIdentityDescription);
    if (!payload)
        return fail(payload.error());
    return decode_identity_payload(*payload);
}

}  // namespace velnaro
