#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "dispatch/dispatcher.hpp"
#include "dispatch/unlinked_tunnel_controller.hpp"
#include "main/modes.hpp"
#include "main/output.hpp"
#include "protocol/messages.hpp"

namespace velnaro {

// The request path in process: one GET_STATUS through the dispatcher with a controller
// that has no WireGuard behind it, printed as the pipe would carry it. The status names a
// detail code, yet the check itself passed, so the exit status is always 0.
int run_status_self_test_mode(Runtime& runtime) {
    RequestContext context;
    context.controller = std::make_unique<UnlinkedTunnelController>();
    const ServiceResponse response = handle_request(runtime, context, GetStatus{});
    const auto body = encode_response(response);
    if (!body) {
        std::fputs("self-test response must serialize\n", stderr);
        std::abort();
    }
    print_line(std::string_view(reinterpret_cast<const char*>(body->data()), body->size()));
    return 0;
}

}  // namespace velnaro
