// wireguard.so: read access to a running interface, with the entry points of wireguard.dll.

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "addresses.hpp"
#include "configuration_block.hpp"
#include "core/utf.hpp"
#include "interface_link.hpp"
#include "uapi_client.hpp"
#include "uapi_text.hpp"
#include "wireguard/component_abi.hpp"

namespace {

using namespace velnaro;

// What a handle stands for: the interface name only. Every call asks the daemon afresh,
// so a handle never serves stale data and holds no key.
struct Adapter {
    std::string name;
};

std::optional<SecretBuffer> read_block(const Adapter& adapter) {
    const std::string_view request = "get=1\n\n";
    const auto answer = wglinux::uapi_exchange(adapter.name, as_bytes(request));
    if (!answer) {
        return std::nullopt;
    }
    const auto device = wglinux::parse_uapi_get_response(as_text(*answer));
    if (!device) {
        return std::nullopt;
    }
    return wglinux::build_configuration_block(*device);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) WireGuardAdapterHandle WireGuardOpenAdapter(
    const char16_t* name) {
    if (name == nullptr) {
        return nullptr;
    }
    const std::string utf8 = from_platform_text(name);
    if (!wglinux::is_valid_interface_name(utf8) || !wglinux::interface_exists(utf8) ||
        !wglinux::uapi_socket_answers(utf8)) {
        return nullptr;
    }
    return new (std::nothrow) Adapter{utf8};
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
    const auto block = read_block(*static_cast<Adapter*>(adapter));
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
    return 1;
}

}  // extern "C"

static_assert(std::is_same_v<decltype(&WireGuardOpenAdapter), WireGuardOpenAdapterFn>);
static_assert(std::is_same_v<decltype(&WireGuardCloseAdapter), WireGuardCloseAdapterFn>);
static_assert(std::is_same_v<decltype(&WireGuardGetAdapterState), WireGuardGetAdapterStateFn>);
static_assert(std::is_same_v<decltype(&WireGuardGetConfiguration), WireGuardGetConfigurationFn>);
