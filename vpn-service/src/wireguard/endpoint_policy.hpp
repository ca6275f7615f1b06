#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/name_lookup.hpp"

namespace velnaro {

// When and how a tunnel whose endpoint is a name follows that name. Pure: the clock and the
// lookup belong to the caller.

// How often the running tunnel looks its gateway's name up again. A gateway that moved is
// found at most this long after the move, and one more keep-alive (25 s) later the tunnel
// carries traffic again: 30 s keeps that within a minute, where 60 s would not, at two
// wake-ups a minute and one lookup each, which the system's resolver mostly answers from
// its cache.
inline constexpr std::chrono::seconds kGatewayLookupInterval{30};
// No handshake for longer than WireGuard's rekey time (120 s) plus its retry time (about
// 15 s): the address in use no longer answers, and the name is asked at once.
inline constexpr std::chrono::seconds kStaleHandshake{135};

// Whether `host` is a dotted IPv4 address, which has nothing to follow.
bool is_ipv4_literal(std::string_view host);

// "192.0.2.1" for an address in host byte order.
std::string ipv4_text(std::uint32_t address);

// Whether the last handshake (seconds since 1970, none: 0) is older than kStaleHandshake.
bool handshake_stale(std::uint64_t last_handshake_unix_seconds, std::uint64_t now_unix_seconds);

// Whether the name is to be looked up now: the interval has passed since the last lookup,
// or the handshake has gone stale since then.
bool lookup_due(std::chrono::steady_clock::time_point now,
                std::optional<std::chrono::steady_clock::time_point> last_lookup,
                bool handshake_is_stale);

// The address to move the endpoint to, or nothing to keep the one in use: only an answer
// with IPv4 addresses that no longer include the one in use moves it, to the first of them.
// A failed or empty answer keeps it: a resolver that is down says nothing about the gateway.
std::optional<std::uint32_t> endpoint_move(const platform::NameAnswer& answer,
                                           std::uint32_t in_use);

// The wait at start for a name whose lookup fails for a temporary reason: the pause before
// each further attempt, short at first (a network that comes up is used within seconds) and
// never longer than kLongestPause, until kStartWaitLimit has passed since the first attempt.
inline constexpr std::chrono::seconds kStartWaitLimit{120};
inline constexpr std::chrono::milliseconds kFirstPause{500}, kLongestPause{3000};

// The pause before the next attempt after `failures` failed ones, `waited` since the first;
// nothing when the answer is final (found, or a name that does not exist) or the wait is over.
std::optional<std::chrono::milliseconds> start_pause(const platform::NameAnswer& answer,
                                                     int failures,
                                                     std::chrono::milliseconds waited);

}  // namespace velnaro
