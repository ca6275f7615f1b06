#pragma once

#include "dispatch/tunnel_controller.hpp"
#include "protocol/messages.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// Carries out one request and answers it; every failure below becomes an ERROR response.
// Identity commands need the context's identity storage; tunnel commands go to its
// controller. Requests never overlap (one connection at a time), so nothing here locks.
ServiceResponse handle_request(Runtime& runtime, const RequestContext& context,
                               ServiceRequest request);

}  // namespace velnaro
