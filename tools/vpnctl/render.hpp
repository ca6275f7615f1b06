#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace velnaro::vpnctl {

// The string member `name` of `object`, or `fallback` when there is none (an answer from
// another version, or from something that is not the service, must not stop vpnctl).
std::string text_member(const nlohmann::json& object, const char* name, std::string fallback);

// "812 B", "47.1 KiB", "3.2 GiB".
std::string human_bytes(std::uint64_t bytes);
// "12 s ago", "4 min 5 s ago", "2 h 3 min ago", "3 d 4 h ago"; a time ahead of the clock
// (another clock) counts as now.
std::string human_age(std::uint64_t then_unix_seconds, std::uint64_t now_unix_seconds);

// The STATUS payload for people: one "name: value" line each.
std::string status_block(const nlohmann::json& payload, std::uint64_t now_unix_seconds);
// The line that says which of the tunnel's ranges are refused while it is not up; empty when
// none is.
// "endpoint:   ADDRESS:PORT (NAME)" from the running tunnel's note of its gateway's name
// ("NAME ADDRESS:PORT"), while the status says a tunnel runs; empty otherwise.
std::string endpoint_line(const nlohmann::json& payload, std::string_view note);
std::string blocked_line(const std::vector<std::string>& ranges);
// The STATUS payload on one line, for --watch and --wait.
std::string status_line(const nlohmann::json& payload, std::uint64_t now_unix_seconds);
// The state and reason only: what --watch reports a change of.
std::string state_and_reason(const nlohmann::json& payload);

// Any other answer for people, or nothing when it is not one vpnctl knows. `command` is the
// vpnctl command that asked (for what an ACCEPTED means).
std::optional<std::string> answer_text(const nlohmann::json& answer, std::string_view command);
// What an ERROR answer's code means for the person who asked, when there is more to say.
std::string error_hint(std::string_view code);

}  // namespace velnaro::vpnctl
