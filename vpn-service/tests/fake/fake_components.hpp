#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fake/fake_platform.hpp"

namespace velnaro::fake {

enum class FakeKeyGeneration { fills_both, leaves_public_zero, leaves_private_zero };

// The adapter "VelnaroTunnel" as the fake wireguard library reports it.
struct FakeAdapter {
    bool exists = true;
    bool state_succeeds = true;
    std::uint32_t state = 1;
    std::vector<std::uint8_t> block{};          // the configuration block
    std::optional<std::uint32_t> probe_size{};  // what the size probe reports; default block size
    bool read_succeeds = true;
    std::optional<std::uint32_t> returned_size{};  // count after the read; default block size
    bool set_succeeds = true;  // a successful set copies the first peer's endpoint into `block`
};

struct FakeComponentOptions {
    bool wireguard_file = true;  // the file exists in the component directory
    bool tunnel_file = true;
    bool wireguard_loads = true;  // the loader accepts the file
    bool tunnel_loads = true;
    std::set<std::string> missing_exports{};
    FakeKeyGeneration key_generation = FakeKeyGeneration::fills_both;
    bool tunnel_service_result = true;
    FakeAdapter adapter{};
};

// What the fake entry points were asked to do.
struct FakeComponentCalls {
    int generate_keypair = 0;
    bool key_buffers_arrived_zeroed = true;
    std::vector<std::u16string> tunnel_service_paths;
    std::vector<std::u16string> opened_adapters;
    int adapters_closed = 0;
    int state_queries = 0;
    bool state_arrived_zeroed = true;
    int size_probes = 0;
    bool probe_count_arrived_zeroed = true;
    int configuration_reads = 0;
    std::uint32_t read_count_given = 0;  // the count passed with the buffer
    bool read_buffer_aligned = true;     // every buffer was 8-byte aligned
    std::vector<std::vector<std::uint8_t>> configurations_set;

    int adapters_open() const { return static_cast<int>(opened_adapters.size()) - adapters_closed; }
};

struct FakeInstallation {
    std::string executable;
    std::string component_directory;
    std::string wireguard_library;
    std::string tunnel_library;
};

// Makes `fake` look like an installation: the executable path, a "vpn" directory beside it
// and the two libraries in the file system and the loader. Resets the fake entry points'
// behaviour to `options` and clears their call record. Test-only global state: one fake
// installation is live at a time.
FakeInstallation install_fake_components(FakePlatform& fake, FakeComponentOptions options = {});

// The live behaviour of the fake entry points; a test may change it after installing.
FakeComponentOptions& fake_component_options();
const FakeComponentCalls& fake_component_calls();

// Builds a configuration block in the adapter's layout.
struct FakePeer {
    std::uint64_t tx_bytes = 0;
    std::uint64_t rx_bytes = 0;
    std::uint64_t last_handshake_100ns = 0;
    std::uint32_t allowed_networks = 0;
};
std::vector<std::uint8_t> make_configuration_block(const std::vector<FakePeer>& peers);
// Overwrites the announced peer count at offset 72.
void set_block_peer_count(std::vector<std::uint8_t>& block, std::uint32_t peers);

}  // namespace velnaro::fake
