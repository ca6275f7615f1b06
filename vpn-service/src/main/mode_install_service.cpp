#include "main/modes.hpp"
#include "main/service_result_line.hpp"
#include "service_manager/service_commands.hpp"

namespace velnaro {

int run_install_service_mode(Runtime& runtime) {
    return print_service_result(runtime.platform.log, install_service(runtime.platform));
}

}  // namespace velnaro
