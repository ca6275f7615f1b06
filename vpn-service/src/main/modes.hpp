#pragma once

#include <span>
#include <string>

#include "wireguard/runtime.hpp"

namespace velnaro {

// One function per command-line mode; each returns the process exit status.
// `args` holds every argument after the program path (args[0] is the mode option).
int run_version_mode();
int run_service_mode(Runtime& runtime);
int run_status_self_test_mode(Runtime& runtime);
int run_ipc_self_test_mode(Runtime& runtime);
int run_service_status_mode(Runtime& runtime);
int run_tunnel_service_mode(Runtime& runtime, std::span<const std::string> args);
int run_dpapi_self_test_mode(Runtime& runtime);
int run_install_service_mode(Runtime& runtime);
int run_uninstall_service_mode(Runtime& runtime);
int run_identity_self_test_mode(Runtime& runtime);
int run_component_self_test_mode(Runtime& runtime);
int run_tunnel_config_self_test_mode(Runtime& runtime);
int run_identity_crypto_self_test_mode(Runtime& runtime);
int run_hold_ranges_mode(Runtime& runtime);

// Exit status of a mode that is not available in this build: the usage line, status 2.
int run_unavailable_mode();

}  // namespace velnaro
