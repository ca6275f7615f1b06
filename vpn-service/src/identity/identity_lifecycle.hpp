#pragma once

#include <string_view>

#include "core/failure.hpp"
#include "identity/device_identity.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

inline constexpr std::string_view kIdentityFileName = "identity.dat";
inline constexpr std::string_view kPendingIdentityFileName = "identity.pending.dat";
inline constexpr std::string_view kMetadataFileName = "metadata.json";

// Whether `name` is a temporary file that a write of identity.dat, identity.pending.dat or
// metadata.json makes, and leaves behind when the process ends halfway.
bool is_identity_temporary_name(std::string_view name);

// Makes sure the data directory holds a consistent identity, creating it on first use.
Outcome<DeviceIdentity> ensure_identity(Runtime& runtime, std::string_view data_directory);
// A new identity (fresh keys and installation ID, key version 1), stored nowhere yet.
Outcome<DeviceIdentity> new_device_identity(Runtime& runtime);
// Makes a new identity (key version 1) in a data directory that holds none.
Outcome<DeviceIdentity> create_identity(Runtime& runtime, std::string_view data_directory);
// Prepares (or returns the already prepared) next identity of a two-step rotation.
Outcome<DeviceIdentity> prepare_rotation(Runtime& runtime, std::string_view data_directory);
// Puts the prepared identity in force; returns its public part.
Outcome<PublicIdentity> commit_rotation(Runtime& runtime, std::string_view data_directory);
Outcome<void> abort_rotation(Runtime& runtime, std::string_view data_directory);

}  // namespace velnaro
