#include "platform/name_lookup.hpp"

// winsock2.h before windows.h, which would otherwise bring the older winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/windows/wide.hpp"

namespace velnaro::platform {
namespace {

// Windows Sockets is started once for the process and left running: the lookups of a tunnel
// go on until the process ends.
bool sockets_started() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

}  // namespace

NameAnswer look_up_ipv4(std::string_view host) {
    NameAnswer answer;
    if (!sockets_started()) {
        answer.os_error = WSANOTINITIALISED;
        return answer;
    }
    const auto wide_host = to_wide(host);
    if (!wide_host) {
        answer.outcome = NameOutcome::no_such_name;
        return answer;
    }
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    ADDRINFOW* results = nullptr;
    const int error = ::GetAddrInfoW(wide_host->c_str(), nullptr, &hints, &results);
    answer.os_error = error;
    switch (error) {
        case 0:
            break;
        case WSATRY_AGAIN:
        case WSANO_RECOVERY:
            answer.outcome = NameOutcome::temporary_failure;
            return answer;
        case WSAHOST_NOT_FOUND:
        case WSANO_DATA:  // the name exists, with no IPv4 address
            answer.outcome = NameOutcome::no_such_name;
            return answer;
        default:
            return answer;
    }
    for (const ADDRINFOW* entry = results; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET)
            continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        const std::uint32_t value = ntohl(address->sin_addr.s_addr);
        if (std::find(answer.ipv4.begin(), answer.ipv4.end(), value) == answer.ipv4.end())
            answer.ipv4.push_back(value);
    }
    ::FreeAddrInfoW(results);
    answer.outcome = answer.ipv4.empty() ? NameOutcome::no_such_name : NameOutcome::found;
    return answer;
}

// No signals on Windows: the service control manager's stop reaches the library's own handler.
std::thread start_background_thread(std::function<void()> body) {
    return std::thread(std::move(body));
}

}  // namespace velnaro::platform
