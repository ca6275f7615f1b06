#include "wireguard/endpoint_policy.hpp"

#include <algorithm>

namespace velnaro {

bool is_ipv4_literal(std::string_view host) {
    int parts = 0;
    std::size_t start = 0;
    while (start <= host.size()) {
        const std::size_t end = std::min(host.find('.', start), host.size());
        const std::string_view part = host.substr(start, end - start);
        if (part.empty() || part.size() > 3 ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            std::stoi(std::string(part)) > 255) {
            return false;
        }
        ++parts;
        start = end + 1;
    }
    return parts == 4;
}

std::string ipv4_text(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xff) + "." +
           std::to_string((address >> 8) & 0xff) + "." + std::to_string(address & 0xff);
}

bool handshake_stale(std::uint64_t last_handshake_unix_seconds, std::uint64_t now_unix_seconds) {
    if (last_handshake_unix_seconds == 0)
        return true;
    const auto limit = static_cast<std::uint64_t>(kStaleHandshake.count());
    return now_unix_seconds > last_handshake_unix_seconds &&
           now_unix_seconds - last_handshake_unix_seconds > limit;
}

bool lookup_due(std::chrono::steady_clock::time_point now,
                std::optional<std::chrono::steady_clock::time_point> last_lookup,
                bool handshake_is_stale) {
    return !last_lookup || handshake_is_stale || now - *last_lookup >= kGatewayLookupInterval;
}

std::optional<std::uint32_t> endpoint_move(const platform::NameAnswer& answer,
                                           std::uint32_t in_use) {
    if (answer.outcome != platform::NameOutcome::found || answer.ipv4.empty())
        return std::nullopt;
    if (std::find(answer.ipv4.begin(), answer.ipv4.end(), in_use) != answer.ipv4.end())
        return std::nullopt;
    return answer.ipv4.front();
}

std::optional<std::chrono::milliseconds> start_pause(const platform::NameAnswer& answer,
                                                     int failures,
                                                     std::chrono::milliseconds waited) {
    if (answer.outcome != platform::NameOutcome::temporary_failure || waited >= kStartWaitLimit)
        return std::nullopt;
    auto pause = kFirstPause;
    for (int i = 1; i < failures && pause < kLongestPause; ++i)
        pause *= 2;
    pause = std::min(pause, kLongestPause);
    // The last pause ends at the limit, where the final attempt is made.
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(kStartWaitLimit) - waited;
    return std::min(pause, left);
}

}  // namespace velnaro
