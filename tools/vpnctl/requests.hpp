#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velnaro::vpnctl {

// What one call of vpnctl is asked to do, read from the words after its name.
struct Invocation {
    enum class Action : std::uint8_t {
        help,            // `topic` empty for the overview
        client_version,  // vpnctl's own version; the service is not asked
        request,         // one request, its answer shown
        apply,           // `file` is checked, then sent as APPLY_CONFIG; then as `wait`
                         // when `state` is given
        wait,            // GET_STATUS until `state`, a lasting failure or `timeout`
        watch,           // GET_STATUS once a second, a line per change
    };
    Action action = Action::help;
    std::string command;  // the vpnctl command ("status", "rotate commit", ...)
    std::string topic;
    std::string request;  // the request body for Action::request
    std::string file;
    std::string state;
    std::chrono::seconds timeout{30};
    bool json = false;  // show the service's answer as it came
};

// vpnctl's words for a command of the service's table, and that command's wire name.
struct Verb {
    std::string_view words;  // "status", "rotate commit", ...
    std::string_view wire_name;
};
std::span<const Verb> verbs();

// The invocation for `words`, or the usage error to print.
std::expected<Invocation, std::string> parse_invocation(std::span<const std::string> words);

}  // namespace velnaro::vpnctl
