#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "core/secret_buffer.hpp"
#include "identity/device_identity.hpp"
#include "wireguard/runtime.hpp"
#include "identity/identity_keeper.hpp"
#include "tunnel_config/tunnel_config.hpp"
#include "wireguard/tunnel_service_mode.hpp"

namespace velnaro {

// The nine-line WireGuard text with the device's private key.
Outcome<SecretBuffer> render_tunnel_config_text(const DeviceIdentity& identity,
                                               const TunnelConfig& config);
// Renders, seals and puts the file in place in the keeper's data directory; returns its full
// path. The identity is ensured through the keeper, under its lock.
// A failed write keeps the system's error as its cause.
Outcome<std::string> store_tunnel_config(Runtime& runtime, IdentityKeeper& identity,
                                         const TunnelConfig& config);
// The same for a directory that nothing else in the process works on (the self-test's
// scratch directory): a keeper of its own.
Outcome<std::string> store_tunnel_config(Runtime& runtime, std::string_view data_directory,
                                         const TunnelConfig& config);
Outcome<SecretBuffer> read_tunnel_config_text(platform::Platform& platform, std::string_view path);
Outcome<void> check_tunnel_config_text(std::string_view text);
// The configuration a stored WireGuard text was rendered from, read back line by line (the
// version is not in the text and reads as 1); nothing when the text is not the nine lines
// the renderer writes.
std::optional<TunnelConfig> read_back_tunnel_config(std::string_view text);
// Whether a stored text holds a configuration that APPLY_CONFIG would accept today: a file
// written by an older release, or changed since, may hold one it refuses.
// TUNNEL_CONFIG_STORED_INVALID otherwise.
Outcome<void> check_stored_tunnel_config(std::string_view text);
// Opens the stored file at `path` and checks its text as above. A file this reader refuses
// (a link in its place, over the size limit) is TUNNEL_CONFIG_STORED_INVALID too. A missing
// file, or one that does not open, is not judged here: the tunnel library opens it the same
// way and fails on it.
Outcome<void> check_stored_tunnel_config_file(platform::Platform& platform, std::string_view path);
Outcome<bool> find_plaintext_config(platform::Platform& platform, std::string_view directory);

// Whether `name` is a temporary file that store_tunnel_config makes.
bool is_config_temporary_name(std::string_view name);
// Deletes the temporary files that writes of the configuration and of the identity left in
// the data directory when the process ended halfway, and nothing else; returns how many.
// Run at start, before any request can begin a write of its own.
std::size_t remove_leftover_temporary_files(platform::Platform& platform,
                                            std::string_view data_directory);

}  // namespace velnaro
