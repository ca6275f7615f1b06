// wireguard.so: read access to a running interface, and the change of a peer's endpoint, with
// the entry points of wireguard.dll.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "addresses.hpp"
#include "configuration_block.hpp"
#include "core/utf.hpp"
#include "endpoint_note.hpp"
#include "interface_link.hpp"
#include "uapi_client.hpp"
#include "uapi_text.hpp"
#include "wireguard/component_abi.hpp"

namespace {

using namespace velnaro;

// One kept connection per interface for the whole process (the service reads from several
// threads, hence the lock); each reading is a new request, answered afresh.
std::optional<SecretBuffer> ask_daemon(const std::string& name) {
    constexpr std::size_t kMaxKept = 8;  // names are checked, and the service uses one
    static std::mutex mutex;
    static std::map<std::string, wglinux::UapiConnection> connections;
    const std::string_view request = "get=1\n\n";
    std::lock_guard lock(mutex);
    if (connections.size() >= kMaxKept && !connections.contains(name)) {
        connections.clear();
    }
    return connections.try_emplace(name, name).first->second.exchange(as_bytes(request));
}

std::optional<SecretBuffer> read_block(const std::string& name) {
    const auto answer = ask_daemon(name);
    if (!answer) {
        return std::nullopt;
    }
    const auto device = wglinux::parse_uapi_get_response(as_text(*answer));
    if (!device) {
        return std::nullopt;
    }
    return wglinux::build_configuration_block(*device);
}

// What a handle stands for: the interface, and the daemon's answer from the moment the handle
// was opened or last probed. That answer serves the size probe and the read that follow it
// (one exchange with the daemon for a whole reading), and is dropped once it has been handed
// out, so a handle never hands out a reading older than the probe that preceded it.
struct Adapter {
    std::string name;
    std::optional<SecretBuffer> block;

    const std::optional<SecretBuffer>& current() {
        if (!block) {
            block = read_block(name);
        }
        return block;
    }
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) WireGuardAdapterHandle WireGuardOpenAdapter(
    const char16_t* name) {
    if (name == nullptr) {
        return nullptr;
    }
    const std::string utf8 = from_platform_text(name);
    if (!wglinux::is_valid_interface_name(utf8) || !wglinux::interface_exists(utf8)) {
        return nullptr;
    }
    // An interface whose daemon does not answer yet is not open-able, as on Windows an
    // adapter still being created.
    auto block = read_block(utf8);
    if (!block) {
        return nullptr;
    }
    return new (std::nothrow) Adapter{utf8, std::move(block)};
}

__attribute__((visibility("default"))) void WireGuardCloseAdapter(WireGuardAdapterHandle adapter) {
    delete static_cast<Adapter*>(adapter);
}

__attribute__((visibility("default"))) std::uint32_t WireGuardGetAdapterState(
    WireGuardAdapterHandle adapter, std::uint32_t* state) {
    if (adapter == nullptr || state == nullptr) {
        return 0;
    }
    const auto up = wglinux::interface_is_up(static_cast<Adapter*>(adapter)->name);
    if (!up) {
        return 0;
    }
    *state = *up ? 1 : 0;
    return 1;
}

// Probe with a null buffer for the size; a buffer smaller than the block gets nothing and
// learns the size needed, as the configuration may have grown since the probe.
__attribute__((visibility("default"))) std::uint32_t WireGuardGetConfiguration(
    WireGuardAdapterHandle adapter, void* configuration, std::uint32_t* bytes) {
    if (adapter == nullptr || bytes == nullptr) {
        return 0;
    }
    auto& open = *static_cast<Adapter*>(adapter);
    const auto& block = open.current();
    if (!block) {
        return 0;
    }
    const auto needed = static_cast<std::uint32_t>(block->size());
    if (configuration == nullptr || *bytes < needed) {
        *bytes = needed;
        return 0;
    }
    std::memcpy(configuration, block->data(), needed);
    *bytes = needed;
    open.block.reset();
    return 1;
}

// Carries out only the change of existing peers' endpoints (read_endpoint_changes); any other
// block is refused, as is a peer the interface does not have, since the flags ask to update
// only. Each change goes to the daemon as it is, leaving everything else of the interface.
__attribute__((visibility("default"))) std::uint32_t WireGuardSetConfiguration(
    WireGuardAdapterHandle adapter, const void* configuration, std::uint32_t bytes) {
    if (adapter == nullptr)
        return 0;
    const auto changes =
        wglinux::read_endpoint_changes(static_cast<const std::uint8_t*>(configuration), bytes);
    if (!changes)
        return 0;
    auto& open = *static_cast<Adapter*>(adapter);
    const auto answer = ask_daemon(open.name);
    const auto device = answer ? wglinux::parse_uapi_get_response(as_text(*answer)) : std::nullopt;
    if (!device)
        return 0;
    for (const auto& change : *changes) {
        const bool known =
            std::any_of(device->peers.begin(), device->peers.end(),
                        [&](const auto& peer) { return peer.public_key == change.public_key; });
        if (!known)
            return 0;
        const SecretBuffer request =
            wglinux::build_uapi_endpoint_request(change.public_key, change.address, change.port);
        const auto reply = wglinux::uapi_exchange(open.name, request);
        const auto error = reply ? wglinux::parse_uapi_errno(as_text(*reply)) : std::nullopt;
        if (!error || *error != 0)
            return 0;
        wglinux::move_endpoint_note(change.address, change.port);
    }
    open.block.reset();  // a reading from before the change is not handed out
    return 1;
}

}  // extern "C"

static_assert(std::is_same_v<decltype(&WireGuardOpenAdapter), WireGuardOpenAdapterFn>);
static_assert(std::is_same_v<decltype(&WireGuardCloseAdapter), WireGuardCloseAdapterFn>);
static_assert(std::is_same_v<decltype(&WireGuardGetAdapterState), WireGuardGetAdapterStateFn>);
static_assert(std::is_same_v<decltype(&WireGuardGetConfiguration), WireGuardGetConfigurationFn>);
static_assert(std::is_same_v<decltype(&WireGuardSetConfiguration), WireGuardSetConfigurationFn>);
