#include "wireguard/components.hpp"

#include "platform/paths.hpp"
#include "wireguard/component_location.hpp"

namespace velnaro::wireguard {
namespace {

struct LibraryCodes {
    DetailCode missing;
    DetailCode load_failed;
};

constexpr LibraryCodes kWireGuardCodes{DetailCode::WIREGUARD_DLL_MISSING,
                                       DetailCode::WIREGUARD_DLL_LOAD_FAILED};
constexpr LibraryCodes kTunnelCodes{DetailCode::TUNNEL_DLL_MISSING,
                                    DetailCode::TUNNEL_DLL_LOAD_FAILED};

Outcome<platform::ModuleHandle> load_library(platform::Platform& platform,
                                            std::string_view directory, std::string_view file,
                                            const LibraryCodes& codes) {
    const std::string path = join_path(directory, file);
    // A directory or device of that name is not a library, and the loader's own search
    // must never be given the chance to find one elsewhere.
    if (platform.files.path_kind(path) != platform::PathKind::regular_file) {
        return fail(codes.missing);
    }
    auto module = platform.loader.load_library(path);
    if (!module)
        return fail(codes.load_failed, std::move(module.error()));
    return *module;
}

template <class Fn>
bool resolve(platform::Loader& loader, platform::ModuleHandle module, const char* name, Fn& out) {
    void* address = loader.find_export(module, name);
    if (address == nullptr)
        return false;
    out = reinterpret_cast<Fn>(address);
    return true;
}

bool resolve_exports(platform::Loader& loader, WireGuardComponents& c) {
    return resolve(loader, c.tunnel_module, "WireGuardGenerateKeypair", c.generate_keypair) &&
           resolve(loader, c.tunnel_module, "WireGuardTunnelService", c.tunnel_service) &&
           resolve(loader, c.wireguard_module, "WireGuardOpenAdapter", c.open_adapter) &&
           resolve(loader, c.wireguard_module, "WireGuardCloseAdapter", c.close_adapter) &&
           resolve(loader, c.wireguard_module, "WireGuardGetAdapterState", c.get_adapter_state) &&
           resolve(loader, c.wireguard_module, "WireGuardGetConfiguration", c.get_configuration);
}

}  // namespace

Outcome<WireGuardComponents> load_components_uncached(platform::Platform& platform,
                                                     std::string_view directory) {
    // A library that another account could replace would run with this process's rights.
    // In the service this process's account is the local system account (root); a self-test
    // may also trust the account that runs it.
    auto executable = platform.system.executable_path();
    if (!executable)
        return fail(DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE, std::move(executable.error()));
    if (!location_is_safe(platform, *executable, directory,
                          platform::TrustedOwners::service_and_running_account))
        return fail(DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
    WireGuardComponents components;
    auto wireguard = load_library(platform, directory, kWireGuardLibraryName, kWireGuardCodes);
    if (!wireguard)
        return fail(wireguard.error());
    components.wireguard_module = *wireguard;
    // A failure from here on leaves wireguard loaded: libraries are never released.
    auto tunnel = load_library(platform, directory, kTunnelLibraryName, kTunnelCodes);
    if (!tunnel)
        return fail(tunnel.error());
    components.tunnel_module = *tunnel;
    if (!resolve_exports(platform.loader, components)) {
        return fail(DetailCode::TUNNEL_EXPORT_MISSING);
    }
    resolve(platform.loader, components.wireguard_module, "WireGuardSetConfiguration",
            components.set_configuration);
    return components;
}

Outcome<const WireGuardComponents*> ComponentCell::load(platform::Platform& platform,
                                                       std::string_view directory) {
    std::call_once(once_, [&] {
        outcome_ = load_components_uncached(platform, directory);
        attempted_.store(true, std::memory_order_release);
    });
    if (!outcome_)
        return fail(outcome_.error());
    return &*outcome_;
}

}  // namespace velnaro::wireguard
