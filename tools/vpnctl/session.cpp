#include "session.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "config_check.hpp"
#include "core/detail_code.hpp"
#include "core/file_time.hpp"
#include "help.hpp"
#include "ipc_client/client.hpp"
#include "platform/conventions.hpp"
#include "protocol/commands.hpp"
#include "render.hpp"
#include "requests.hpp"

namespace velnaro::vpnctl {

namespace {

using Action = Invocation::Action;

// The pipe can be missing for a moment while the service passes from one client to the
// next; only a name that stays missing means the service is not running.
constexpr int kPresenceChecks = 3;
constexpr std::chrono::milliseconds kPresencePause{100};
constexpr std::chrono::seconds kPollInterval{1};
const std::string kStatusRequest = request_without_payload(wire_name_of<GetStatus>);

// How one request went.
struct Exchange {
    // refused: the server is not the service; turned_away: the service does not serve us.
    enum class Reach : std::uint8_t { answered, not_running, busy, refused, turned_away, broken };
    Reach reach = Reach::broken;
    std::string body;
    DetailCode code{};
    platform::ServerCheck check = platform::ServerCheck::unverifiable;
};
using Reach = Exchange::Reach;

bool service_present(platform::Platform& platform, std::string_view pipe_name) {
    for (int attempt = 0; attempt < kPresenceChecks; ++attempt) {
        if (attempt > 0)
            platform.system.sleep_for(kPresencePause);
        if (platform.pipes.pipe_exists(pipe_name))
            return true;
    }
    return false;
}

Exchange ask(platform::Platform& platform, const Target& target, std::string_view request) {
    if (!service_present(platform, target.pipe_name))
        return {Reach::not_running, "", {}, {}};
    auto pipe = connect_to_service(platform, target.pipe_name, target.patience);
    if (!pipe) {
        // Gone while we waited (stopped), or held by other clients all along.
        if (!platform.pipes.pipe_exists(target.pipe_name))
            return {Reach::not_running, "", {}, {}};
        return {Reach::busy, "", pipe.error().code, {}};
    }
    const auto check = (*pipe)->verify_server();
    if (check != platform::ServerCheck::privileged_service)
        return {Reach::refused, "", {}, check};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(request.data());
    const auto answer = exchange_frames(platform, **pipe, {bytes, request.size()});
    if (!answer && !platform.pipes.serves_own_account())
        return {Reach::turned_away, "", answer.error().code, {}};
    if (!answer)
        return {Reach::broken, "", answer.error().code, {}};
    return {Reach::answered, std::string(answer->begin(), answer->end()), {}, {}};
}

// Whether the tunnel outlived a service that does not answer: it runs on its own, and its
// ranges go on through it. Nothing when the system cannot tell.
std::string tunnel_words(platform::Platform& platform) {
    const auto up = platform.ranges.interface_up(kTunnelName);
    if (!up)
        return "";
    return "; the tunnel " + std::string(kTunnelName) + (*up ? " is still up" : " is down");
}

// Why there is no answer, in words; also what --watch and --wait report.
std::string no_answer_words(platform::Platform& platform, const Exchange& exchange,
                            const Target& target) {
    const std::string pipe(target.pipe_name);
    switch (exchange.reach) {
        case Reach::not_running:
            return "the service is not running (nothing serves " + pipe + ")" +
                   tunnel_words(platform);
        case Reach::busy:
            return "the service is busy: no connection to " + pipe + " within " +
                   std::to_string(target.patience.count() / 1000) + " s; try again";
        case Reach::refused:
            return "refusing the server on " + pipe + ": " +
                   (exchange.check == platform::ServerCheck::other_account
                        ? "it does not run as " + std::string(platform::kServiceAccountName)
                        : std::string("the system cannot tell which account runs it")) +
                   "; nothing was sent";
        case Reach::turned_away:
            return "the service refused this account: it serves root and login accounts, not "
                   "system accounts";
        case Reach::broken:
            return "no answer from the service on " + pipe + " (" +
                   std::string(to_text(exchange.code)) + ")" + tunnel_words(platform);
        case Reach::answered:
            break;
    }
    return "answered";
}

int report_no_answer(platform::Platform& platform, const Exchange& exchange, const Console& console,
                     const Target& target) {
    console.err("vpnctl: " + no_answer_words(platform, exchange, target) + "\n");
    switch (exchange.reach) {
        case Reach::not_running:
            return kExitNotRunning;
        case Reach::refused:
            return kExitServerRefused;
        default:
            return kExitErrorAnswer;
    }
}

std::uint64_t unix_now(platform::Platform& platform) {
    return file_time_to_unix_seconds(platform.system.system_time_100ns()).value_or(0);
}

std::string clock_text(std::uint64_t unix_seconds) {
    const std::uint64_t of_day = unix_seconds % 86400;
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%02u:%02u:%02u", static_cast<unsigned>(of_day / 3600),
                  static_cast<unsigned>(of_day % 3600 / 60), static_cast<unsigned>(of_day % 60));
    return std::string(text.data()) + " UTC";
}

// The payload of a STATUS answer, or null when the body is something else.
nlohmann::json status_payload(const std::string& body) {
    const auto answer = nlohmann::json::parse(body, nullptr, false);
    if (!answer.is_object() || text_member(answer, "type", "") != "STATUS")
        return nullptr;
    const auto payload = answer.find("payload");
    return payload != answer.end() && payload->is_object() ? *payload : nullptr;
}

bool is_error_answer(const nlohmann::json& answer) {
    if (!answer.is_object())
        return true;
    const auto type = answer.find("type");
    return type == answer.end() || !type->is_string() || type->get<std::string>() == "ERROR";
}

// The running tunnel's note of its gateway's name and the address in use (Linux, when the
// endpoint is a name); empty when there is none.
std::string endpoint_note(platform::Platform& platform) {
    if (platform::kTunnelEndpointNotePath.empty())
        return {};
    const auto note = platform.files.read_file(platform::kTunnelEndpointNotePath, 512);
    return note ? std::string(note->begin(), note->end()) : std::string();
}

int show_answer(platform::Platform& platform, const Invocation& invocation, const std::string& body,
                const Console& console) {
    const auto answer = nlohmann::json::parse(body, nullptr, false);
    const int status = is_error_answer(answer) ? kExitErrorAnswer : kExitAnswered;
    if (invocation.json) {
        console.out(body + "\n");
        return status;
    }
    if (text_member(answer, "type", "") == "ERROR") {
        const auto payload = answer.find("payload");
        const std::string code = payload == answer.end() ? "?" : text_member(*payload, "code", "?");
        console.err("vpnctl: the service answered ERROR " + code + error_hint(code) + "\n");
        return kExitErrorAnswer;
    }
    if (const auto payload = status_payload(body); !payload.is_null()) {
        // Not part of the service's answer: read from the routing itself (Linux; elsewhere
        // there is nothing to read), and left out when it cannot be read.
        const auto blocked = platform.ranges.blocked_ranges();
        console.out(status_block(payload, unix_now(platform)) +
                    endpoint_line(payload, endpoint_note(platform)) +
                    blocked_line(blocked ? *blocked : std::vector<std::string>{}));
        return status;
    }
    if (const auto text = answer_text(answer, invocation.command)) {
        console.out(*text);
        return status;
    }
    // Not an answer this vpnctl knows how to show: the body as it came.
    console.out(body + "\n");
    return status;
}

// An ERROR that a later reading may clear: the state could not be read this time. Any other
// ERROR is a tunnel that failed (or cannot load its libraries), and stays until the next
// APPLY_CONFIG, START, REPAIR or STOP.
bool is_lasting_failure(const nlohmann::json& payload) {
    static constexpr std::array<std::string_view, 4> kPassing{
        "SERVICE_MANAGER_UNAVAILABLE", "TUNNEL_SERVICE_STATUS_FAILED",
        "WIREGUARD_ADAPTER_STATE_FAILED", "WIREGUARD_CONFIGURATION_READ_FAILED"};
    if (text_member(payload, "state", "") != "ERROR")
        return false;
    const std::string code = text_member(payload, "detailCode", "");
    return !code.empty() && std::find(kPassing.begin(), kPassing.end(), code) == kPassing.end();
}

int wait_for_state(platform::Platform& platform, const Invocation& invocation,
                   const Console& console, const Target& target) {
    const auto deadline = platform.system.monotonic_now() + invocation.timeout;
    std::string last_body;  // the last STATUS answer, for --json
    for (;;) {
        const Exchange exchange = ask(platform, target, kStatusRequest);
        if (exchange.reach == Reach::refused || exchange.reach == Reach::turned_away)
            return report_no_answer(platform, exchange, console, target);
        std::string last = no_answer_words(platform, exchange, target);
        if (exchange.reach == Reach::answered) {
            const auto payload = status_payload(exchange.body);
            if (!payload.is_null())
                last_body = exchange.body;
            const std::string shown =
                invocation.json ? exchange.body : status_line(payload, unix_now(platform));
            if (!payload.is_null() && text_member(payload, "state", "") == invocation.state) {
                console.out(shown + "\n");
                return kExitAnswered;
            }
            if (!payload.is_null() && is_lasting_failure(payload)) {
                if (invocation.json)
                    console.out(shown + "\n");
                console.err("vpnctl: the tunnel failed (" + state_and_reason(payload) +
                            ") and stays so until the next apply, start, repair or stop; " +
                            invocation.state + " will not be reached\n");
                return kExitTunnelFailed;
            }
            last = payload.is_null() ? "an answer that is no status" : state_and_reason(payload);
        }
        const auto left = deadline - platform.system.monotonic_now();
        if (left <= std::chrono::milliseconds::zero()) {
            if (invocation.json && !last_body.empty())
                console.out(last_body + "\n");
            console.err("vpnctl: " + invocation.state + " not reached within " +
                        std::to_string(invocation.timeout.count()) + " s; last: " + last + "\n");
            return kExitErrorAnswer;
        }
        platform.system.sleep_for(std::min<std::chrono::milliseconds>(
            kPollInterval, std::chrono::duration_cast<std::chrono::milliseconds>(left)));
    }
}

// A line per change of state or reason; with --json the service's STATUS answers as they
// came on standard output, and the times the service did not answer on standard error.
int watch_status(platform::Platform& platform, bool json, const Console& console,
                 const Target& target) {
    std::string previous;
    for (;;) {
        const Exchange exchange = ask(platform, target, kStatusRequest);
        if (exchange.reach == Reach::refused || exchange.reach == Reach::turned_away)
            return report_no_answer(platform, exchange, console, target);
        const std::uint64_t now = unix_now(platform);
        std::string change = no_answer_words(platform, exchange, target);
        std::string line = change;
        bool answered = false;
        if (exchange.reach == Reach::answered) {
            const auto payload = status_payload(exchange.body);
            answered = !payload.is_null();
            change = payload.is_null() ? exchange.body : state_and_reason(payload);
            line = payload.is_null() ? exchange.body : status_line(payload, now);
        }
        if (change != previous) {
            if (!json)
                console.out(clock_text(now) + "  " + line + "\n");
            else if (answered)
                console.out(exchange.body + "\n");
            else
                console.err(clock_text(now) + "  " + line + "\n");
        }
        previous = change;
        if (!target.keep_watching())
            return kExitAnswered;
        platform.system.sleep_for(kPollInterval);
    }
}

}  // namespace

int run(platform::Platform& platform, std::span<const std::string> words, FileReader read_file,
        const Console& console, const Target& target) {
    const auto invocation = parse_invocation(words);
    if (!invocation) {
        console.err(invocation.error());
        return kExitUsage;
    }
    switch (invocation->action) {
        case Action::help:
            console.out(invocation->topic.empty() ? overview_help()
                                                  : command_help(invocation->topic));
            return kExitAnswered;
        case Action::client_version:
            console.out("vpnctl " + std::string(kClientVersion) + "\n");
            return kExitAnswered;
        case Action::wait:
            return wait_for_state(platform, *invocation, console, target);
        case Action::watch:
            return watch_status(platform, invocation->json, console, target);
        case Action::apply:
        case Action::request:
            break;
    }
    std::string request = invocation->request;
    if (invocation->action == Action::apply) {
        const std::string source =
            invocation->file == "-" ? std::string("standard input") : invocation->file;
        const auto text = read_file(invocation->file);
        if (!text) {
            console.err("vpnctl: cannot read " + source + ": " + text.error() +
                        "; nothing was sent\n");
            return kExitUsage;
        }
        auto checked = apply_request(source, *text);
        if (!checked) {
            console.err(checked.error());
            return kExitUsage;
        }
        request = std::move(*checked);
    }
    const Exchange exchange = ask(platform, target, request);
    if (exchange.reach != Reach::answered)
        return report_no_answer(platform, exchange, console, target);
    const int status = show_answer(platform, *invocation, exchange.body, console);
    // apply FILE --wait STATE: once the configuration is accepted, as status --wait.
    if (status != kExitAnswered || invocation->state.empty())
        return status;
    return wait_for_state(platform, *invocation, console, target);
}

Outcome run_collected(platform::Platform& platform, std::span<const std::string> words,
                      FileReader read_file, const Target& target) {
    Outcome outcome;
    const Console console{[&](std::string_view text) { outcome.standard_output += text; },
                          [&](std::string_view text) { outcome.standard_error += text; }};
    outcome.exit_status = run(platform, words, read_file, console, target);
    return outcome;
}

}  // namespace velnaro::vpnctl
