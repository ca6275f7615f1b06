#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "core/uuid.hpp"
#include "identity/device_identity.hpp"
#include "platform/platform.hpp"

namespace velnaro {

// Reads and opens a sealed identity file ("identity.dat" or "identity.pending.dat").
Outcome<DeviceIdentity> read_identity_file(platform::Platform& platform, std::string_view path);

// Seals the identity and puts it at `path`, which must not exist yet. The blob goes to a
// temporary sibling first and is then moved onto `path` without replacing, so `path` either
// does not exist or holds the whole blob, even after a crash halfway through the write.
Outcome<void> write_identity_file(platform::Platform& platform, std::string_view path,
                           const DeviceIdentity& identity);

// Puts `bytes` at `path` through a temporary sibling (see temporary_sibling) with the secret
// file writer; `replace` false refuses an existing `path`. A failed random source, creation,
// write or flush is IDENTITY_WRITE_FAILED, a failed move `move_failed`.
Outcome<void> write_beside(platform::Platform& platform, std::string_view path,
                    std::span<const std::uint8_t> bytes, bool replace, DetailCode move_failed);

// A version 4 UUID from the platform's random source, or why the source failed.
platform::OsResult<Uuid> random_uuid(platform::Platform& platform);

// `path` with the extension of its file name replaced by "tmp-<uuid>"
// ("metadata.json" -> "metadata.tmp-<uuid>").
std::string temporary_sibling(std::string_view path, const Uuid& uuid);
// Whether `name` is one temporary_sibling made for the file named `final_name`.
bool is_temporary_sibling(std::string_view name, std::string_view final_name);

}  // namespace velnaro
