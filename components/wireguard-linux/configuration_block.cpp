#include "configuration_block.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>

#include "core/file_time.hpp"
#include "keys.hpp"

namespace velnaro::wglinux {
namespace {

void put_u16(SecretBuffer& block, std::size_t offset, std::uint16_t value) {
    block[offset] = static_cast<std::uint8_t>(value);
    block[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put_u32(SecretBuffer& block, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        block[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void put_u64(SecretBuffer& block, std::size_t offset, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        block[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void put_bytes(SecretBuffer& block, std::size_t offset, std::span<const std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), block.begin() + static_cast<std::ptrdiff_t>(offset));
}

// The public key is a scalar multiplication away from the private key, the dearest step of a
// reading, and the private key seldom changes: the last result is kept, found again by a hash
// of the private key under a key of this process (the private key itself is not kept).
bool public_key_of(std::span<const std::uint8_t, kKeySize> private_key,
                   std::span<std::uint8_t, kKeySize> public_key) {
    static std::mutex mutex;
    static std::array<std::uint8_t, crypto_generichash_KEYBYTES> hash_key{};
    static std::optional<std::array<std::uint8_t, kKeySize>> last_hash;
    static std::array<std::uint8_t, kKeySize> last_public{};
    if (sodium_init() < 0) {
        return false;
    }
    std::lock_guard lock(mutex);
    if (!last_hash) {
        randombytes_buf(hash_key.data(), hash_key.size());
    }
    std::array<std::uint8_t, kKeySize> hash{};
    crypto_generichash(hash.data(), hash.size(), private_key.data(), private_key.size(),
                       hash_key.data(), hash_key.size());
    if (!last_hash || sodium_memcmp(hash.data(), last_hash->data(), hash.size()) != 0) {
        if (!derive_public_key(private_key, last_public)) {
            last_hash.reset();
            return false;
        }
        last_hash = hash;
    }
    std::copy(last_public.begin(), last_public.end(), public_key.begin());
    return true;
}

void put_interface(SecretBuffer& block, const UapiDevice& device) {
    std::uint32_t flags = 4;  // the listen port is always known
    put_u16(block, 4, device.listen_port);
    if (device.has_private_key) {
        SecretArray<kKeySize> public_key;
        put_bytes(block, kInterfacePrivateKeyOffset, device.private_key.span());
        flags |= 2;
        if (public_key_of(device.private_key.span(), public_key.span())) {
            put_bytes(block, kInterfacePublicKeyOffset, public_key.span());
            flags |= 1;
        }
    }
    put_u32(block, 0, flags);
    put_u32(block, kInterfacePeerCountOffset, static_cast<std::uint32_t>(device.peers.size()));
}

void put_endpoint(SecretBuffer& block, std::size_t offset, const UapiEndpoint& endpoint) {
    // The port is stored as a sockaddr stores it: network byte order.
    block[offset + 2] = static_cast<std::uint8_t>(endpoint.port >> 8);
    block[offset + 3] = static_cast<std::uint8_t>(endpoint.port);
    if (endpoint.family == AddressFamily::ipv4) {
        put_u16(block, offset, kWindowsAfInet);
        put_bytes(block, offset + 4, std::span(endpoint.address).first(4));
    } else {
        put_u16(block, offset, kWindowsAfInet6);
        put_bytes(block, offset + 8, endpoint.address);
        put_u32(block, offset + 24, endpoint.scope_id);
    }
}

std::size_t put_peer(SecretBuffer& block, std::size_t offset, const UapiPeer& peer) {
    std::uint32_t flags = 1;
    put_bytes(block, offset + kPeerPublicKeyOffset, peer.public_key);
    if (peer.has_preshared_key) {
        put_bytes(block, offset + 40, peer.preshared_key.span());
        flags |= 2;
    }
    put_u16(block, offset + 72, peer.persistent_keepalive);
    flags |= 4;
    if (peer.endpoint) {
        put_endpoint(block, offset + 76, *peer.endpoint);
        flags |= 8;
    }
    put_u32(block, offset, flags);
    put_u64(block, offset + kPeerTxOffset, peer.tx_bytes);
    put_u64(block, offset + kPeerRxOffset, peer.rx_bytes);
    put_u64(block, offset + kPeerHandshakeOffset,
            to_windows_file_time(peer.last_handshake_sec, peer.last_handshake_nsec));
    put_u32(block, offset + kPeerAllowedCountOffset,
            static_cast<std::uint32_t>(peer.allowed_ips.size()));
    offset += kPeerRecordSize;
    for (const UapiAllowedIp& allowed : peer.allowed_ips) {
        put_bytes(block, offset, allowed.address);
        put_u16(block, offset + 16,
                allowed.family == AddressFamily::ipv4 ? kWindowsAfInet : kWindowsAfInet6);
        block[offset + 18] = allowed.cidr;
        offset += kAllowedIpRecordSize;
    }
    return offset;
}

}  // namespace

std::uint64_t to_windows_file_time(std::int64_t unix_seconds, std::int64_t nanoseconds) {
    if (unix_seconds < 0 || nanoseconds < 0 || (unix_seconds == 0 && nanoseconds == 0)) {
        return 0;
    }
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const auto seconds = static_cast<std::uint64_t>(unix_seconds);
    const std::uint64_t sub_ticks = static_cast<std::uint64_t>(nanoseconds) / 100;
    if (seconds > (kMax - kUnixEpochAsFileTime - sub_ticks) / kFileTimeUnitsPerSecond) {
        return kMax;  // far beyond any real clock; saturate rather than wrap into the past
    }
    return seconds * kFileTimeUnitsPerSecond + sub_ticks + kUnixEpochAsFileTime;
}

std::optional<SecretBuffer> build_configuration_block(const UapiDevice& device) {
    std::uint64_t size = kInterfaceRecordSize;
    for (const UapiPeer& peer : device.peers) {
        size += kPeerRecordSize + kAllowedIpRecordSize * std::uint64_t{peer.allowed_ips.size()};
        if (size > std::numeric_limits<std::uint32_t>::max()) {
            return std::nullopt;
        }
    }
    SecretBuffer block(static_cast<std::size_t>(size), 0);
    put_interface(block, device);
    std::size_t offset = kInterfaceRecordSize;
    for (const UapiPeer& peer : device.peers) {
        offset = put_peer(block, offset, peer);
    }
    return block;
}

std::optional<std::vector<EndpointChange>> read_endpoint_changes(const std::uint8_t* block,
                                                                 std::uint32_t bytes) {
    if (block == nullptr || bytes < kInterfaceRecordSize)
        return std::nullopt;
    const std::span<const std::uint8_t> view(block, bytes);
    const auto peers = read_le(view, kInterfacePeerCountOffset, 4);
    if (read_le(view, 0, 4) != 0 || peers > 64 ||
        bytes != kInterfaceRecordSize + peers * kPeerRecordSize) {
        return std::nullopt;
    }
    constexpr std::uint32_t kExpected = kPeerHasPublicKey | kPeerHasEndpoint | kPeerUpdateOnly;
    std::vector<EndpointChange> changes;
    for (std::size_t at = kInterfaceRecordSize; at < bytes; at += kPeerRecordSize) {
        if (read_le(view, at, 4) != kExpected ||
            read_le(view, at + kPeerEndpointOffset, 2) != kWindowsAfInet ||
            read_le(view, at + kPeerAllowedCountOffset, 4) != 0) {
            return std::nullopt;
        }
        EndpointChange change;
        std::memcpy(change.public_key.data(), block + at + kPeerPublicKeyOffset, kKeySize);
        change.port = static_cast<std::uint16_t>(block[at + kPeerEndpointPortOffset] << 8 |
                                                 block[at + kPeerEndpointPortOffset + 1]);
        for (std::size_t i = 0; i < 4; ++i)
            change.address = change.address << 8 | block[at + kPeerEndpointIpv4Offset + i];
        changes.push_back(change);
    }
    return changes;
}

}  // namespace velnaro::wglinux
