#include "core/detail_code.hpp"
#include "main/modes.hpp"
#include "main/output.hpp"
#include "self_test/identity_self_tests.hpp"

namespace velnaro {

int run_identity_crypto_self_test_mode(Runtime& runtime) {
    const Status outcome = identity_crypto_self_test(runtime);
    if (!outcome) {
        print_line(detail_code_envelope(to_text(outcome.error())));
        return 1;
    }
    print_line(detail_code_envelope(std::nullopt));
    return 0;
}

}  // namespace velnaro
