#include <cstdio>
#include <cstdlib>

#include "main/modes.hpp"
#include "main/output.hpp"
#include "self_test/tunnel_config_self_test.hpp"

namespace velnaro {

int run_tunnel_config_self_test_mode(Runtime& runtime) {
    const TunnelConfigSelfTestResult result = tunnel_config_self_test(runtime);
    const auto json = tunnel_config_self_test_json(result);
    if (!json) {
        std::fputs("tunnel config self-test must serialize\n", stderr);
        std::abort();
    }
    print_line(*json);
    return result.success ? 0 : 1;
}

}  // namespace velnaro
