#include "wireguard/components.hpp"

namespace velnaro::wireguard {

// Loading is not built yet: every outcome is the missing library.
Result<const WireGuardComponents*> ComponentCell::load(platform::Platform&, std::string_view) {
    std::call_once(once_, [] {});
    if (!outcome_) return fail(outcome_.error());
    return &*outcome_;
}

}  // namespace velnaro::wireguard
