#include "ipc/ipc_self_test.hpp"
#include "main/modes.hpp"
#include "main/output.hpp"
#include "platform/log.hpp"
#include "protected_storage/sealed_blob.hpp"
#include "self_test/identity_self_tests.hpp"
#include "self_test/tunnel_config_self_test.hpp"

namespace velnaro {
namespace {

// A self-test is where its failure ends: logged here, once, with the system's error when a
// call is what failed.
int print_outcome(Runtime& runtime, const Outcome<void>& outcome) {
    if (!outcome)
        platform::log_failure(runtime.platform.log, outcome.error());
    return print_status_result(outcome);
}

}  // namespace

int run_dpapi_self_test_mode(Runtime& runtime) {
    return print_outcome(runtime, sealing_self_test(runtime.platform));
}

int run_identity_crypto_self_test_mode(Runtime& runtime) {
    return print_outcome(runtime, identity_crypto_self_test(runtime));
}

int run_identity_self_test_mode(Runtime& runtime) {
    const IdentitySelfTestResult result = identity_self_test(runtime);
    platform::log_failure(runtime.platform.log, result.failure);
    return print_result_line(identity_self_test_json(result), result.success, "identity self-test");
}

int run_tunnel_config_self_test_mode(Runtime& runtime) {
    const TunnelConfigSelfTestResult result = tunnel_config_self_test(runtime);
    platform::log_failure(runtime.platform.log, result.failure);
    return print_result_line(tunnel_config_self_test_json(result), result.success,
                             "tunnel config self-test");
}

int run_ipc_self_test_mode(Runtime& runtime) {
    const IpcSelfTestResult result = run_ipc_self_test(runtime);
    platform::log_failure(runtime.platform.log, result.failure);
    return print_result_line(serialized([&] { return to_json(result); }), result.success,
                             "ipc self-test");
}

}  // namespace velnaro
