#pragma once

#include "dispatch/tunnel_controller.hpp"
#include "protocol/messages.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// Carries out one request and answers it; every failure below becomes an ERROR response.
// Identity commands need the context's identity storage, whose keeper holds the files for
// each operation; tunnel commands go to its controller. Called on the server thread for reads
// and on the change worker for changes, so a read and a change may run at once.
ServiceResponse handle_request(Runtime& runtime, const RequestContext& context,
                               ServiceRequest request);

}  // namespace velnaro
