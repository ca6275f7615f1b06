#pragma once

#include <string>
#include <string_view>

#include "core/result.hpp"
#include "core/secret_buffer.hpp"
#include "identity/device_identity.hpp"
#include "wireguard/runtime.hpp"
#include "tunnel_config/tunnel_config.hpp"
#include "wireguard/tunnel_service_mode.hpp"

namespace velnaro {

// The nine-line WireGuard text with the device's private key.
Result<SecretBuffer> render_tunnel_config_text(const DeviceIdentity& identity,
                                               const TunnelConfig& config);
// Renders, seals and puts the file in place; returns its full path.
Result<std::string> store_tunnel_config(Runtime& runtime, std::string_view data_directory,
                                        const TunnelConfig& config);
Result<SecretBuffer> read_tunnel_config_text(platform::Platform& platform, std::string_view path);
Status check_tunnel_config_text(std::string_view text);
Result<bool> find_plaintext_config(platform::Platform& platform, std::string_view directory);

}  // namespace velnaro
