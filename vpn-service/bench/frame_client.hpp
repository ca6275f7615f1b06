// The whole life of one client of a framed Unix socket, as the benchmarks use it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace velnaro::bench {

// A 4-byte little-endian length, then the body.
std::string frame(std::string_view body);

// Connect, send `request`, read until the server hangs up, close. Returns every byte read,
// or nothing when the socket could not be reached. With a `patience`, a server silent that
// long counts as hanging up; without one, no time-out costs the round trip a system call.
std::optional<std::string> exchange(const std::string& path, const std::string& request,
                                    std::chrono::seconds patience = std::chrono::seconds(0));

// The body of the one frame in `answer`, or nothing when it holds no complete frame.
std::optional<std::string_view> body_of(std::string_view answer);

}  // namespace velnaro::bench
