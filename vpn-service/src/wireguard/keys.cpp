#include "wireguard/keys.hpp"

#include "platform/paths.hpp"
#include "wireguard/components.hpp"

namespace velnaro {

Outcome<std::string> resolve_component_directory(platform::Platform& platform) {
    auto executable = platform.system.executable_path();
    if (!executable)
        return fail(DetailCode::EXECUTABLE_PATH_UNAVAILABLE, std::move(executable.error()));
    auto parent = parent_directory(*executable);
    if (!parent)
        return fail(DetailCode::EXECUTABLE_DIRECTORY_UNAVAILABLE);
    auto canonical = platform.files.canonical_directory(join_path(*parent, "vpn"));
    if (!canonical)
        return fail(DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE, std::move(canonical.error()));
    return *canonical;
}

Outcome<KeyPair> generate_keypair(Runtime& runtime, std::string_view component_directory) {
    // Checked on every call, not only before the first load: an installation whose
    // component folder was removed must not keep producing keys from a stale table.
    if (runtime.platform.files.path_kind(component_directory) != platform::PathKind::directory) {
        return fail(DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
    }
    auto components = runtime.components.load(runtime.platform, component_directory);
    if (!components)
        return fail(components.error());

    KeyPair pair;  // both keys start zero-filled, which is how a failed generation shows
    (*components)->generate_keypair(pair.public_key.data(), pair.private_key.data());
    if (is_all_zero(pair.public_key) || is_all_zero(pair.private_key.span())) {
        pair.private_key.wipe();
        return fail(DetailCode::KEY_GENERATION_FAILED);
    }
    return pair;
}

}  // namespace velnaro
