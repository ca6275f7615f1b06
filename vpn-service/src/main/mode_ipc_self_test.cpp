#include <cstdlib>
#include <exception>
#include <string>

#include "ipc/ipc_self_test.hpp"
#include "main/modes.hpp"
#include "main/output.hpp"

namespace velnaro {

int run_ipc_self_test_mode(Runtime& runtime) {
    const IpcSelfTestResult result = run_ipc_self_test(runtime);
    std::string line;
    try {
        line.reserve(128);
        line = to_json(result);
    } catch (const std::exception&) {
        std::fputs("ipc self-test must serialize\n", stderr);
        std::abort();
    }
    print_line(line);
    return result.success ? 0 : 1;
}

}  // namespace velnaro
