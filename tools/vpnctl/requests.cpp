#include "requests.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

#include "help.hpp"
#include "protocol/commands.hpp"

namespace velnaro::vpnctl {

namespace {

using Action = Invocation::Action;

constexpr std::array kVerbs{
    Verb{"version", wire_name_of<GetVersion>},
    Verb{"status", wire_name_of<GetStatus>},
    Verb{"identity", wire_name_of<GetPublicIdentity>},
    Verb{"apply", wire_name_of<ApplyConfig>},
    Verb{"start", wire_name_of<Start>},
    Verb{"stop", wire_name_of<Stop>},
    Verb{"repair", wire_name_of<Repair>},
    Verb{"rotate prepare", wire_name_of<PrepareIdentityRotation>},
    Verb{"rotate commit", wire_name_of<CommitIdentityRotation>},
    Verb{"rotate abort", wire_name_of<AbortIdentityRotation>},
};

constexpr std::array<std::string_view, 6> kStates{
    "UNAVAILABLE", "DISCONNECTED", "CONNECTING", "CONNECTED", "DEGRADED", "ERROR",
};

std::unexpected<std::string> usage(const std::string& command, const std::string& why) {
    std::string text = "vpnctl: " + why + "\n";
    text += command.empty() ? "Try 'vpnctl --help'.\n"
                            : "Try 'vpnctl help " + command.substr(0, command.find(' ')) + "'.\n";
    return std::unexpected(text);
}

// A whole number of seconds, at most a year.
std::optional<std::chrono::seconds> seconds_of(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value > 366u * 86400u)
        return std::nullopt;
    return std::chrono::seconds(value);
}

// The words after the command: options anywhere, the rest positional.
struct Rest {
    std::vector<std::string> positional;
    bool help = false;
    bool json = false;
    bool watch = false;
    std::optional<std::string> wait;
    std::optional<std::string> timeout;
    std::optional<std::string> unknown_option;
    bool missing_value = false;
};

Rest split_rest(std::span<const std::string> words) {
    Rest rest;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        const bool has_value = i + 1 < words.size();
        if (word == "--help" || word == "-h") {
            rest.help = true;
        } else if (word == "--json") {
            rest.json = true;
        } else if (word == "--watch") {
            rest.watch = true;
        } else if (word == "--wait" || word == "--timeout") {
            if (!has_value) {
                rest.missing_value = true;
                continue;
            }
            (word == "--wait" ? rest.wait : rest.timeout) = words[++i];
        } else if (word.size() > 1 && word.starts_with('-')) {
            if (!rest.unknown_option)
                rest.unknown_option = word;
        } else {
            rest.positional.push_back(word);
        }
    }
    return rest;
}

// "connected" and "Connected" name CONNECTED too: people type states as they say them.
std::string upper_case(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// --wait STATE [--timeout SECONDS], for 'status' and 'apply'.
std::expected<Invocation, std::string> with_wait(Invocation invocation, const Rest& rest,
                                                 const std::string& verb) {
    if (rest.timeout && !rest.wait)
        return usage(verb, "--timeout goes with --wait");
    if (!rest.wait)
        return invocation;
    const std::string state = upper_case(*rest.wait);
    if (std::find(kStates.begin(), kStates.end(), state) == kStates.end())
        return usage(verb, "unknown state '" + *rest.wait +
                               "' (UNAVAILABLE, DISCONNECTED, CONNECTING, CONNECTED, "
                               "DEGRADED or ERROR)");
    invocation.state = state;
    if (rest.timeout) {
        const auto timeout = seconds_of(*rest.timeout);
        if (!timeout)
            return usage(verb, "--timeout takes whole seconds, not '" + *rest.timeout + "'");
        invocation.timeout = *timeout;
    }
    return invocation;
}

std::expected<Invocation, std::string> status_invocation(Invocation invocation, const Rest& rest) {
    if (rest.watch && rest.wait)
        return usage("status", "--wait and --watch cannot be combined");
    if (rest.watch) {
        if (rest.timeout)
            return usage("status", "--timeout goes with --wait");
        invocation.action = Action::watch;
        return invocation;
    }
    auto waiting = with_wait(std::move(invocation), rest, "status");
    if (waiting && !waiting->state.empty())
        waiting->action = Action::wait;
    return waiting;
}

// The command is the first word, or the first two for "rotate STEP".
std::string command_of(std::span<const std::string> words, std::size_t& taken) {
    taken = 1;
    if (words[0] == "rotate" && words.size() > 1 && !words[1].starts_with('-')) {
        taken = 2;
        return "rotate " + words[1];
    }
    return words[0];
}

}  // namespace

std::span<const Verb> verbs() {
    return kVerbs;
}

std::expected<Invocation, std::string> parse_invocation(std::span<const std::string> words) {
    // --json may also come before the command ("vpnctl --json status").
    bool json_first = false;
    while (!words.empty() && words[0] == "--json") {
        json_first = true;
        words = words.subspan(1);
    }
    if (words.empty())
        return usage("", "no command given");
    const std::string& first = words[0];
    if (first == "--help" || first == "-h" || first == "help") {
        if (words.size() > 2)
            return usage("", "help takes one command at most");
        Invocation invocation;
        if (words.size() == 2) {
            if (!has_help(words[1]))
                return usage("", "no command '" + words[1] + "'");
            invocation.topic = words[1];
        }
        return invocation;
    }
    if (first == "--version") {
        if (words.size() > 1)
            return usage("", "--version takes nothing after it");
        Invocation invocation;
        invocation.action = Action::client_version;
        return invocation;
    }

    std::size_t taken = 0;
    Invocation invocation;
    invocation.command = command_of(words, taken);
    const std::string verb = invocation.command.substr(0, invocation.command.find(' '));
    if (!has_help(verb))
        return usage("", "no command '" + verb + "'");
    const Rest rest = split_rest(words.subspan(taken));
    if (rest.help) {
        invocation.action = Action::help;
        invocation.topic = verb;
        return invocation;
    }
    if (rest.unknown_option)
        return usage(invocation.command, "unknown option '" + *rest.unknown_option + "'");
    if (rest.missing_value)
        return usage(invocation.command, "--wait and --timeout take a value");
    if (rest.watch && verb != "status")
        return usage(invocation.command, "--watch belongs to 'status'");
    if ((rest.wait || rest.timeout) && verb != "status" && verb != "apply")
        return usage(invocation.command, "--wait and --timeout belong to 'status' and 'apply'");
    invocation.json = rest.json || json_first;

    if (verb == "apply" || verb == "raw") {
        if (rest.positional.size() != 1)
            return usage(verb, verb == "apply" ? "apply takes one FILE (or - for standard input)"
                                               : "raw takes one JSON text");
        invocation.action = verb == "apply" ? Action::apply : Action::request;
        (verb == "apply" ? invocation.file : invocation.request) = rest.positional[0];
        invocation.json = invocation.json || verb == "raw";
        return verb == "apply" ? with_wait(std::move(invocation), rest, verb) : invocation;
    }
    if (!rest.positional.empty())
        return usage(invocation.command, "unexpected '" + rest.positional[0] + "'");
    // 'apply' went its own way above, so every verb left sends its request without payload.
    const auto found = std::ranges::find(kVerbs, invocation.command, &Verb::words);
    if (found == kVerbs.end())
        return usage("rotate", "rotate takes prepare, commit or abort");
    invocation.action = Action::request;
    invocation.request = request_without_payload(found->wire_name);
    if (verb == "status")
        return status_invocation(std::move(invocation), rest);
    return invocation;
}

}  // namespace velnaro::vpnctl
