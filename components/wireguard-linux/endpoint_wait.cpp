#include "endpoint_wait.hpp"

#include <cstdio>

#include "wireguard/endpoint_policy.hpp"

namespace velnaro::wglinux {

EndpointWait wait_for_endpoint(const std::string& host, const platform::NameLookup& look_up,
                               const StopAwarePause& pause) {
    const auto first = std::chrono::steady_clock::now();
    for (int failures = 1;; ++failures) {
        const platform::NameAnswer answer = look_up(host);
        if (answer.outcome == platform::NameOutcome::found)
            return {answer.ipv4.front(), false};
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - first);
        const auto next = start_pause(answer, failures, waited);
        if (!next)
            return {};
        if (failures == 1) {
            // Once, to the unit's journal: STATUS shows CONNECTING meanwhile.
            std::fprintf(stderr,
                         "tunnel: endpoint \"%s\" does not resolve yet (lookup error %d); "
                         "trying again for up to %lld s\n",
                         host.c_str(), answer.os_error,
                         static_cast<long long>(kStartWaitLimit.count()));
            std::fflush(stderr);
        }
        if (pause(*next))
            return {std::nullopt, true};
    }
}

}  // namespace velnaro::wglinux
