#include "core/detail_code.hpp"
#include "main/modes.hpp"
#include "main/output.hpp"
#include "protected_storage/dpapi.hpp"

namespace velnaro {

int run_dpapi_self_test_mode(Runtime& runtime) {
    const Status outcome = dpapi_self_test(runtime.platform);
    if (!outcome) {
        print_line(detail_code_envelope(to_text(outcome.error())));
        return 1;
    }
    print_line(detail_code_envelope(std::nullopt));
    return 0;
}

}  // namespace velnaro
