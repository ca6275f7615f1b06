#include "wireguard/endpoint_follower.hpp"

#include <array>
#include <cstring>

#include "core/file_time.hpp"
#include "wireguard/adapter_block.hpp"
#include "wireguard/adapter_handle.hpp"
#include "wireguard/endpoint_policy.hpp"

namespace velnaro {
namespace {

// What a round needs of the tunnel's single peer.
struct PeerReading {
    std::array<std::uint8_t, 32> public_key{};
    std::uint32_t endpoint = 0;  // IPv4 in use, host byte order; 0 when none or not IPv4
    std::uint64_t last_handshake_unix_seconds = 0;
};

std::optional<PeerReading> first_peer(const ConfigurationBlock& block) {
    const auto bytes = block.bytes();
    if (block.size < kInterfaceRecordSize + kPeerRecordSize || block.size > bytes.size() ||
        read_le(bytes, kInterfacePeerCountOffset, 4) < 1) {
        return std::nullopt;
    }
    const std::size_t peer = kInterfaceRecordSize;
    PeerReading reading;
    std::memcpy(reading.public_key.data(), bytes.data() + peer + kPeerPublicKeyOffset, 32);
    if (read_le(bytes, peer + kPeerEndpointOffset, 2) == kWindowsAfInet) {
        // The address as it lies in a socket address: network byte order.
        for (std::size_t i = 0; i < 4; ++i)
            reading.endpoint = (reading.endpoint << 8) | bytes[peer + kPeerEndpointIpv4Offset + i];
    }
    reading.last_handshake_unix_seconds =
        file_time_to_unix_seconds(read_le(bytes, peer + kPeerHandshakeOffset, 8)).value_or(0);
    return reading;
}

// The block that changes the peer's endpoint and nothing else: no interface field, no
// replacement of peers or networks, and never a new peer.
std::array<std::uint8_t, kInterfaceRecordSize + kPeerRecordSize> endpoint_block(
    const PeerReading& peer, std::uint32_t address, std::uint16_t port) {
    std::array<std::uint8_t, kInterfaceRecordSize + kPeerRecordSize> block{};
    block[kInterfacePeerCountOffset] = 1;
    const std::size_t at = kInterfaceRecordSize;
    const std::uint32_t flags = kPeerHasPublicKey | kPeerHasEndpoint | kPeerUpdateOnly;
    for (std::size_t i = 0; i < 4; ++i)
        block[at + i] = static_cast<std::uint8_t>(flags >> (8 * i));
    std::memcpy(block.data() + at + kPeerPublicKeyOffset, peer.public_key.data(), 32);
    block[at + kPeerEndpointOffset] = static_cast<std::uint8_t>(kWindowsAfInet);
    block[at + kPeerEndpointPortOffset] = static_cast<std::uint8_t>(port >> 8);
    block[at + kPeerEndpointPortOffset + 1] = static_cast<std::uint8_t>(port);
    for (std::size_t i = 0; i < 4; ++i)
        block[at + kPeerEndpointIpv4Offset + i] =
            static_cast<std::uint8_t>(address >> (24 - 8 * i));
    return block;
}

}  // namespace

EndpointFollower::EndpointFollower(Runtime& runtime,
                                   const wireguard::WireGuardComponents& components,
                                   GatewayName gateway, platform::NameLookup look_up)
    : runtime_(runtime),
      components_(components),
      gateway_(std::move(gateway)),
      look_up_(std::move(look_up)) {}

EndpointFollower::~EndpointFollower() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void EndpointFollower::start() {
    thread_ = platform::start_background_thread([this] { run(); });
}

void EndpointFollower::run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kGatewayLookupInterval, [this] { return stopping_; })) {
        lock.unlock();
        follow_once();
        lock.lock();
    }
}

void EndpointFollower::follow_once() {
    const OpenAdapter adapter = open_tunnel_adapter(components_);
    if (!adapter)
        return;  // not up yet, or already gone
    const auto block = read_configuration_block(components_, adapter.get());
    const auto peer = block ? first_peer(*block) : std::nullopt;
    if (!peer)
        return;
    auto& system = runtime_.platform.system;
    const auto now = system.monotonic_now();
    const auto wall = file_time_to_unix_seconds(system.system_time_100ns()).value_or(0);
    if (!lookup_due(now, last_lookup_, handshake_stale(peer->last_handshake_unix_seconds, wall)))
        return;
    last_lookup_ = now;
    const auto target = endpoint_move(look_up_(gateway_.host), peer->endpoint);
    if (!target)
        return;
    const auto request = endpoint_block(*peer, *target, gateway_.port);
    auto& log = runtime_.platform.log;
    const std::string from = peer->endpoint == 0 ? "none" : ipv4_text(peer->endpoint);
    if (components_.set_configuration(adapter.get(), request.data(),
                                      static_cast<std::uint32_t>(request.size())) == 0) {
        if (refused_move_ != target) {
            log.write(platform::LogPriority::warning, std::nullopt,
                      "gateway " + gateway_.host + " moved from " + from + " to " +
                          ipv4_text(*target) + ", but the endpoint could not be changed");
        }
        refused_move_ = target;
        return;
    }
    refused_move_.reset();
    log.write(platform::LogPriority::notice, std::nullopt,
              "gateway " + gateway_.host + " moved from " + from + " to " + ipv4_text(*target));
}

std::unique_ptr<EndpointFollower> follow_gateway(Runtime& runtime,
                                                 const wireguard::WireGuardComponents& components,
                                                 const std::optional<GatewayName>& gateway) {
    if (!gateway || is_ipv4_literal(gateway->host))
        return nullptr;
    if (components.set_configuration == nullptr) {
        runtime.platform.log.write(platform::LogPriority::notice, std::nullopt,
                                   "gateway " + gateway->host +
                                       " is not looked up again while the tunnel runs: the "
                                       "WireGuard library cannot change the endpoint");
        return nullptr;
    }
    auto follower =
        std::make_unique<EndpointFollower>(runtime, components, *gateway, platform::look_up_ipv4);
    follower->start();
    return follower;
}

}  // namespace velnaro
