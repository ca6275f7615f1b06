#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

namespace velnaro::platform {

// What a lookup of a host name told, in the terms the tunnel acts on: a temporary failure
// (no network yet, the resolver did not answer) is worth asking again; a name that does not
// exist is not.
enum class NameOutcome : std::uint8_t { found, temporary_failure, no_such_name, failed };

struct NameAnswer {
    NameOutcome outcome = NameOutcome::failed;
    std::vector<std::uint32_t> ipv4;  // host byte order, in the resolver's order; found only
    int os_error = 0;                 // the lookup's own error code when it failed
};

// The IPv4 addresses of `host` (a dotted address answers itself). Linux: getaddrinfo, with
// EAI_AGAIN and EAI_FAIL temporary and EAI_NONAME final; Windows: the same call, with
// WSATRY_AGAIN and WSANO_RECOVERY temporary and WSAHOST_NOT_FOUND final.
NameAnswer look_up_ipv4(std::string_view host);

using NameLookup = std::function<NameAnswer(std::string_view host)>;

// A thread for work beside a blocking call: on Linux it takes none of the process's signals,
// so a stop signal always reaches the thread that waits for it.
std::thread start_background_thread(std::function<void()> body);

}  // namespace velnaro::platform
