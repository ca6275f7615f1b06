#include "platform/name_lookup.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>

namespace velnaro::platform {

NameAnswer look_up_ipv4(std::string_view host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* results = nullptr;
    const int error = ::getaddrinfo(std::string(host).c_str(), nullptr, &hints, &results);
    NameAnswer answer;
    answer.os_error = error;
    switch (error) {
        case 0:
            break;
        case EAI_AGAIN:
        case EAI_FAIL:
            answer.outcome = NameOutcome::temporary_failure;
            return answer;
        case EAI_NONAME:
        case EAI_NODATA:  // the name exists, with no IPv4 address
            answer.outcome = NameOutcome::no_such_name;
            return answer;
        default:
            return answer;
    }
    for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET)
            continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        const std::uint32_t value = ntohl(address->sin_addr.s_addr);
        if (std::find(answer.ipv4.begin(), answer.ipv4.end(), value) == answer.ipv4.end())
            answer.ipv4.push_back(value);
    }
    ::freeaddrinfo(results);
    answer.outcome = answer.ipv4.empty() ? NameOutcome::no_such_name : NameOutcome::found;
    return answer;
}

std::thread start_background_thread(std::function<void()> body) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    // The new thread inherits the mask in force when it is created.
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    std::thread thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

}  // namespace velnaro::platform
