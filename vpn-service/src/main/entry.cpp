#include "main/entry.hpp"

#include <string_view>

#include "core/utf.hpp"
#include "core/version.hpp"
#include "main/modes.hpp"
#include "main/output.hpp"
#include "service_manager/service_commands.hpp"
#include "service_manager/tunnel_registration.hpp"

namespace velnaro {

int run_entry(Runtime& runtime, std::span<const std::string> args) {
    // An argument that is not valid Unicode is never acted on: it cannot name a mode, and
    // a tunnel configuration path that is not valid text is refused as a usage error.
    if (args.empty() || !is_valid_utf8(args[0])) {
        print_usage();
        return 2;
    }
    const std::string_view mode = args[0];
    if (mode == "--version") return run_version_mode();
    if (mode == kServiceModeArgument) return run_service_mode(runtime);
    if (mode == "--self-test") return run_status_self_test_mode(runtime);
    if (mode == "--ipc-self-test") return run_ipc_self_test_mode(runtime);
    if (mode == "--service-status") return run_service_status_mode(runtime);
    if (mode == kTunnelServiceModeArgument) return run_tunnel_service_mode(runtime, args);
    if (mode == "--dpapi-self-test") return run_dpapi_self_test_mode(runtime);
    if (mode == "--install-service") return run_install_service_mode(runtime);
    if (mode == "--uninstall-service") return run_uninstall_service_mode(runtime);
    if (mode == "--identity-self-test") return run_identity_self_test_mode(runtime);
    if (mode == "--component-self-test") return run_component_self_test_mode(runtime);
    if (mode == "--tunnel-config-self-test") return run_tunnel_config_self_test_mode(runtime);
    if (mode == "--identity-crypto-self-test") return run_identity_crypto_self_test_mode(runtime);
    if (mode == "--hold-ranges") return run_hold_ranges_mode(runtime);
    print_usage();
    return 2;
}

int run_unavailable_mode() {
    print_usage();
    return 2;
}

int run_version_mode() {
    print_line(kServiceVersion);
    return 0;
}

}  // namespace velnaro
