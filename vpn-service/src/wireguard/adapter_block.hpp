#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velnaro {

// The adapter configuration block that WireGuardGetConfiguration returns, in the layout of the
// Windows adapter library. The Linux components write it and the service reads it, on both
// systems, with one walker. Little-endian throughout.
//
// Interface record, 80 bytes:
//   0 flags u32 (1 public key, 2 private key, 4 listen port)   4 listen port u16
//   6 private key [32]   38 public key [32]   72 peer count u32
// Peer record, 136 bytes:
//   0 flags u32 (1 public key, 2 preshared key, 4 keepalive, 8 endpoint)
//   8 public key [32]   40 preshared key [32]   72 persistent keepalive u16
//   76 endpoint (family u16: 2 IPv4, 23 IPv6; port u16 big-endian; IPv4 address at 80, or
//      flow info u32 at 80, IPv6 address at 84, scope id u32 at 100)
//   104 tx bytes u64   112 rx bytes u64
//   120 last handshake u64, 100-ns units since 1601-01-01 UTC, 0 when none
//   128 allowed-network count u32
// Allowed-network record, 24 bytes: 0 address [16]   16 family u16   18 prefix length u8

// One declaration per record: its size and the offsets the service and the components use.
inline constexpr std::size_t kInterfaceRecordSize = 80, kInterfacePrivateKeyOffset = 6,
                             kInterfacePublicKeyOffset = 38, kInterfacePeerCountOffset = 72;
inline constexpr std::size_t kPeerRecordSize = 136, kPeerPublicKeyOffset = 8, kPeerTxOffset = 104,
                             kPeerRxOffset = 112, kPeerHandshakeOffset = 120,
                             kPeerAllowedCountOffset = 128;
inline constexpr std::size_t kPeerEndpointOffset = 76, kPeerEndpointPortOffset = 78,
                             kPeerEndpointIpv4Offset = 80;
inline constexpr std::uint32_t kPeerHasPublicKey = 1, kPeerHasEndpoint = 8,
                               kPeerUpdateOnly = 128;  // set: change a peer, never add one
inline constexpr std::size_t kAllowedIpRecordSize = 24;
inline constexpr std::uint16_t kWindowsAfInet = 2, kWindowsAfInet6 = 23;

// Little-endian reads byte by byte: the block comes from another library and its records
// are not guaranteed to sit on natural boundaries once a peer has an odd layout. The caller
// has checked that the bytes are there.
inline std::uint64_t read_le(std::span<const std::uint8_t> block, std::uint64_t offset,
                             int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | block[static_cast<std::size_t>(offset) + i];
    }
    return value;
}

}  // namespace velnaro
