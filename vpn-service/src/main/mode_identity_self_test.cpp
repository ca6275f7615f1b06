#include <cstdio>
#include <cstdlib>

#include "main/modes.hpp"
#include "main/output.hpp"
#include "self_test/identity_self_tests.hpp"

namespace velnaro {

int run_identity_self_test_mode(Runtime& runtime) {
    const IdentitySelfTestResult result = identity_self_test(runtime);
    const auto json = identity_self_test_json(result);
    if (!json) {
        std::fputs("identity self-test must serialize\n", stderr);
        std::abort();
    }
    print_line(*json);
    return result.success ? 0 : 1;
}

}  // namespace velnaro
