#include "identity/identity_file.hpp"

#include "identity/identity_payload.hpp"
#include "platform/file_writing.hpp"
#include "platform/paths.hpp"
#include "protected_storage/dpapi.hpp"

namespace velnaro {
namespace {

// Largest blob that dpapi_unprotect accepts; reading one byte more lets it tell the size.
constexpr std::size_t kMaxIdentityFileBytes = 16384;

// Closes the file on every path out of write_new_file.
class OpenFile {
  public:
    OpenFile(platform::FileSystem& files, platform::FileHandle handle)
        : files_(files), handle_(handle) {}
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() { files_.close_file(handle_); }
    platform::FileHandle handle() const { return handle_; }

  private:
    platform::FileSystem& files_;
    platform::FileHandle handle_;
};

// `created` tells the caller whether a file now exists that this call made.
Status write_new_file_reporting(platform::Platform& platform, std::string_view path,
                                std::span<const std::uint8_t> bytes, bool& created) {
    created = false;
    const auto handle = platform.files.create_new_file(path);
    if (!handle)
        return fail(DetailCode::IDENTITY_WRITE_FAILED);
    created = true;
    OpenFile file(platform.files, *handle);
    if (!platform::write_all(platform.files, file.handle(), bytes) ||
        !platform.files.flush_file(file.handle())) {
        return fail(DetailCode::IDENTITY_WRITE_FAILED);
    }
    return {};
}

}  // namespace

std::optional<Uuid> random_uuid(platform::Platform& platform) {
    std::array<std::uint8_t, 16> random{};
    if (!platform.system.random_bytes(random))
        return std::nullopt;
    return make_uuid_v4(random);
}

std::string temporary_sibling(std::string_view path, const Uuid& uuid) {
    const std::string_view name = file_name(path);
    const std::size_t dot = name.rfind('.');
    // A leading dot starts a hidden name, not an extension.
    const std::size_t stem_length = (dot == std::string_view::npos || dot == 0) ? name.size() : dot;
    std::string result(path.substr(0, path.size() - name.size() + stem_length));
    result += ".tmp-";
    result += uuid_to_text(uuid);
    return result;
}

Status write_new_file(platform::Platform& platform, std::string_view path,
                      std::span<const std::uint8_t> bytes) {
    bool created = false;
    return write_new_file_reporting(platform, path, bytes, created);
}

Status write_identity_file(platform::Platform& platform, std::string_view path,
                           const DeviceIdentity& identity) {
    const auto payload = encode_identity_payload(identity);
    if (!payload)
        return fail(payload.error());
    const auto blob = dpapi_protect(platform, *payload, kIdentityDescription);
    if (!blob)
        return fail(blob.error());

    const auto uuid = random_uuid(platform);
    if (!uuid)
        return fail(DetailCode::IDENTITY_WRITE_FAILED);
    const std::string temporary = temporary_sibling(path, *uuid);
    // The move refuses an existing target, which keeps the rule that an identity file is
    // only ever created, never overwritten. A temporary file that cannot become the
    // identity file is useless, so it does not stay behind.
    bool created = false;
    if (!write_new_file_reporting(platform, temporary, *blob, created) ||
        !platform.files.move_file(temporary, path, platform::MoveMode::no_replace_write_through)) {
        if (created)
            platform.files.delete_file(temporary);
        return fail(DetailCode::IDENTITY_WRITE_FAILED);
    }
    return {};
}

Result<DeviceIdentity> read_identity_file(platform::Platform& platform, std::string_view path) {
    const auto blob = platform.files.read_file(path, kMaxIdentityFileBytes);
    if (!blob)
        return fail(DetailCode::IDENTITY_READ_FAILED);
    const auto payload = dpapi_unprotect(platform, *blob, kIdentityDescription);
    if (!payload)
        return fail(payload.error());
    return decode_identity_payload(*payload);
}

}  // namespace velnaro
