#pragma once

#include <cstdint>
#include <string>

namespace velnaro::wglinux {

// The note of the gateway's name and the address in use that `vpnctl status` shows
// (platform::kTunnelEndpointNotePath), kept only while the endpoint is a name: the UAPI
// socket that holds the address answers root alone, the note every account. Each write
// replaces the whole note at once, so a reader never sees half of one; failures are ignored,
// since the note only informs.
void write_endpoint_note(const std::string& name, std::uint32_t address, std::uint16_t port);
// Puts the new address in the note there is; nothing when there is none (no name to follow).
void move_endpoint_note(std::uint32_t address, std::uint16_t port);
void remove_endpoint_note();

}  // namespace velnaro::wglinux
