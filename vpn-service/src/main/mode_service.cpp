#include "main/modes.hpp"
#include "service/service_host.hpp"

namespace velnaro {

int run_service_mode(Runtime& runtime) {
    return run_service(runtime) == 0 ? 0 : 1;
}

}  // namespace velnaro
