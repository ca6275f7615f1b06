#include "main/modes.hpp"
#include "main/service_result_line.hpp"
#include "service_manager/service_commands.hpp"

namespace velnaro {

int run_service_status_mode(Runtime& runtime) {
    return print_service_result(runtime.platform.log, query_service_status(runtime.platform));
}

}  // namespace velnaro
