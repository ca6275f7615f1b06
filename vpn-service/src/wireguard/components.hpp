#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string_view>

#include "core/failure.hpp"
#include "platform/conventions.hpp"
#include "platform/platform.hpp"
#include "wireguard/component_abi.hpp"

namespace velnaro::wireguard {

using platform::kTunnelLibraryName;
using platform::kWireGuardLibraryName;

struct WireGuardComponents {
    WireGuardGenerateKeypairFn generate_keypair = nullptr;
    WireGuardTunnelServiceFn tunnel_service = nullptr;
    WireGuardOpenAdapterFn open_adapter = nullptr;
    WireGuardCloseAdapterFn close_adapter = nullptr;
    WireGuardGetAdapterStateFn get_adapter_state = nullptr;
    WireGuardGetConfigurationFn get_configuration = nullptr;
    WireGuardSetConfigurationFn set_configuration = nullptr;  // optional: may stay null
    platform::ModuleHandle wireguard_module;
    platform::ModuleHandle tunnel_module;
};

// Loads both libraries from `directory` and resolves the six entry points (and the optional
// seventh where the library has it), without caching.
Outcome<WireGuardComponents> load_components_uncached(platform::Platform& platform,
                                                     std::string_view directory);

// The process-wide load outcome: filled at most once, success or failure alike, and
// read-only afterwards. Created by the program entry (or a test), never a static.
class ComponentCell {
  public:
    // Loads from `directory` on the first call; every later call returns the first outcome.
    Outcome<const WireGuardComponents*> load(platform::Platform& platform,
                                            std::string_view directory);
    // Whether the first load has happened (later loads then ignore their folder).
    bool attempted() const { return attempted_.load(std::memory_order_acquire); }

  private:
    std::once_flag once_;
    std::atomic<bool> attempted_ = false;
    Outcome<WireGuardComponents> outcome_ = fail(DetailCode::TUNNEL_DLL_MISSING);
};

}  // namespace velnaro::wireguard
