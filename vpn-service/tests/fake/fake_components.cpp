#include "fake/fake_components.hpp"

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/paths.hpp"
#include "wireguard/component_abi.hpp"
#include "wireguard/components.hpp"

namespace velnaro::fake {
namespace {

FakeComponentOptions g_options;
FakeComponentCalls g_calls;
std::uint32_t g_key_counter = 0;
int g_adapter_token = 0;  // its address is the adapter handle

void put_le(std::vector<std::uint8_t>& block, std::size_t offset, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        block[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::u16string copy_text(const char16_t* text) {
    return text == nullptr ? std::u16string() : std::u16string(text);
}

extern "C" void fake_generate_keypair(std::uint8_t* public_key, std::uint8_t* private_key) {
    ++g_calls.generate_keypair;
    for (int i = 0; i < 32; ++i) {
        if (public_key[i] != 0 || private_key[i] != 0)
            g_calls.key_buffers_arrived_zeroed = false;
    }
    ++g_key_counter;
    // Distinct keys per call, so that rotation sees a new pair each time.
    for (int i = 0; i < 32; ++i) {
        private_key[i] = static_cast<std::uint8_t>(0x40 + i + g_key_counter * 7);
        public_key[i] = static_cast<std::uint8_t>(private_key[i] ^ 0x5A);
    }
    if (g_options.key_generation == FakeKeyGeneration::leaves_public_zero) {
        std::memset(public_key, 0, 32);
    }
    if (g_options.key_generation == FakeKeyGeneration::leaves_private_zero) {
        std::memset(private_key, 0, 32);
    }
}

extern "C" bool fake_tunnel_service(const char16_t* path) {
    g_calls.tunnel_service_paths.push_back(copy_text(path));
    return g_options.tunnel_service_result;
}

extern "C" WireGuardAdapterHandle fake_open_adapter(const char16_t* name) {
    if (!g_options.adapter.exists || copy_text(name) != u"VelnaroTunnel")
        return nullptr;
    g_calls.opened_adapters.push_back(copy_text(name));
    return &g_adapter_token;
}

extern "C" void fake_close_adapter(WireGuardAdapterHandle adapter) {
    if (adapter == &g_adapter_token)
        ++g_calls.adapters_closed;
}

extern "C" std::uint32_t fake_get_adapter_state(WireGuardAdapterHandle adapter,
                                                std::uint32_t* state) {
    ++g_calls.state_queries;
    if (*state != 0)
        g_calls.state_arrived_zeroed = false;
    if (adapter != &g_adapter_token || !g_options.adapter.state_succeeds)
        return 0;
    *state = g_options.adapter.state;
    return 1;
}

extern "C" std::uint32_t fake_get_configuration(WireGuardAdapterHandle adapter, void* configuration,
                                                std::uint32_t* bytes) {
    const FakeAdapter& a = g_options.adapter;
    const auto block_size = static_cast<std::uint32_t>(a.block.size());
    if (adapter != &g_adapter_token)
        return 0;
    if (configuration == nullptr) {
        ++g_calls.size_probes;
        if (*bytes != 0)
            g_calls.probe_count_arrived_zeroed = false;
        *bytes = a.probe_size.value_or(block_size);
        return 0;  // the probe's result is meaningless, like the real library's
    }
    ++g_calls.configuration_reads;
    g_calls.read_count_given = *bytes;
    if (reinterpret_cast<std::uintptr_t>(configuration) % 8 != 0) {
        g_calls.read_buffer_aligned = false;
    }
    if (!a.read_succeeds)
        return 0;
    std::memcpy(configuration, a.block.data(), std::min(*bytes, block_size));
    *bytes = a.returned_size.value_or(block_size);
    return 1;
}

extern "C" std::uint32_t fake_set_configuration(WireGuardAdapterHandle /*adapter*/,
                                                const void* configuration, std::uint32_t bytes) {
    const auto* begin = static_cast<const std::uint8_t*>(configuration);
    g_calls.configurations_set.emplace_back(begin, begin + bytes);
    FakeAdapter& a = g_options.adapter;
    if (!a.set_succeeds)
        return 0;
    constexpr std::size_t kEndpoint = 80 + 76, kEndpointEnd = 80 + 104;
    if (bytes >= kEndpointEnd && a.block.size() >= kEndpointEnd)
        std::memcpy(a.block.data() + kEndpoint, begin + kEndpoint, kEndpointEnd - kEndpoint);
    return 1;
}

template <class Fn>
void* as_export(Fn function) {
    return reinterpret_cast<void*>(function);
}

std::map<std::string, void*> exports_of(const std::map<std::string, void*>& all) {
    std::map<std::string, void*> kept;
    for (const auto& [name, address] : all) {
        if (!g_options.missing_exports.count(name))
            kept[name] = address;
    }
    return kept;
}

}  // namespace

FakeInstallation install_fake_components(FakePlatform& fake, FakeComponentOptions options) {
    g_options = std::move(options);
    g_calls = {};
    g_key_counter = 0;

    FakeInstallation installation;
    const std::string bin = join_path(fake_root(), "bin");
#ifdef _WIN32
    installation.executable = join_path(bin, "vpn-service.exe");
#else
    installation.executable = join_path(bin, "vpn-service");
#endif
    installation.component_directory = join_path(bin, "vpn");
    installation.wireguard_library =
        join_path(installation.component_directory, wireguard::kWireGuardLibraryName);
    installation.tunnel_library =
        join_path(installation.component_directory, wireguard::kTunnelLibraryName);

    fake.system.executable = installation.executable;
    fake.files.create_directories(installation.component_directory);
    fake.files.put_file(installation.executable, "MZ");
    if (g_options.wireguard_file)
        fake.files.put_file(installation.wireguard_library, "MZ");
    if (g_options.tunnel_file)
        fake.files.put_file(installation.tunnel_library, "MZ");
    if (g_options.wireguard_loads) {
        fake.loader.add_library(
            installation.wireguard_library,
            exports_of({{"WireGuardOpenAdapter", as_export(&fake_open_adapter)},
                        {"WireGuardCloseAdapter", as_export(&fake_close_adapter)},
                        {"WireGuardGetAdapterState", as_export(&fake_get_adapter_state)},
                        {"WireGuardGetConfiguration", as_export(&fake_get_configuration)},
                        {"WireGuardSetConfiguration", as_export(&fake_set_configuration)}}));
    }
    if (g_options.tunnel_loads) {
        fake.loader.add_library(
            installation.tunnel_library,
            exports_of({{"WireGuardGenerateKeypair", as_export(&fake_generate_keypair)},
                        {"WireGuardTunnelService", as_export(&fake_tunnel_service)}}));
    }
    return installation;
}

FakeComponentOptions& fake_component_options() {
    return g_options;
}
const FakeComponentCalls& fake_component_calls() {
    return g_calls;
}

std::vector<std::uint8_t> make_configuration_block(const std::vector<FakePeer>& peers) {
    std::size_t size = 80;
    for (const auto& p : peers)
        size += 136 + 24 * std::size_t{p.allowed_networks};
    std::vector<std::uint8_t> block(size, 0);
    set_block_peer_count(block, static_cast<std::uint32_t>(peers.size()));
    std::size_t offset = 80;
    for (const auto& p : peers) {
        put_le(block, offset + 104, p.tx_bytes, 8);
        put_le(block, offset + 112, p.rx_bytes, 8);
        put_le(block, offset + 120, p.last_handshake_100ns, 8);
        put_le(block, offset + 128, p.allowed_networks, 4);
        // Fill the unread parts, so that a reader at a wrong offset sees nonsense.
        for (std::size_t i = 0; i < 104; ++i)
            block[offset + i] = 0xEE;
        offset += 136 + 24 * std::size_t{p.allowed_networks};
    }
    return block;
}

void set_block_peer_count(std::vector<std::uint8_t>& block, std::uint32_t peers) {
    if (block.size() >= 80)
        put_le(block, 72, peers, 4);
}

}  // namespace velnaro::fake
