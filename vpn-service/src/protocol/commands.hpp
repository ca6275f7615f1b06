#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "protocol/messages.hpp"

namespace velnaro {

// What the service and its clients need to know of one command.
struct Command {
    std::string_view wire_name;
    // The ServiceRequest alternative the command decodes to.
    std::size_t alternative = 0;
    // Changes state: only callers with the right to change it (root and the operators' group
    // on Linux) may send it, and it runs on the change worker, one change at a time. Reads
    // are answered on the server thread, also while a change runs.
    bool changes_state = false;
    // Clients poll it every second, so a success leaves no line in the log.
    bool polled = false;
};

namespace command_table_detail {
template <typename Request, std::size_t... I>
consteval std::size_t alternative_of(std::index_sequence<I...>) {
    std::size_t found = sizeof...(I);
    ((std::is_same_v<Request, std::variant_alternative_t<I, ServiceRequest>> ? (found = I) : 0),
     ...);
    return found;
}
}  // namespace command_table_detail

// The index of `Request` in ServiceRequest.
template <typename Request>
inline constexpr std::size_t alternative_of = command_table_detail::alternative_of<Request>(
    std::make_index_sequence<std::variant_size_v<ServiceRequest>>{});

// Every command, one row each, in the order of the ServiceRequest alternatives. Adding a
// command: an alternative in ServiceRequest, a row here, and its handler in the dispatcher
// (which does not compile without one).
inline constexpr std::array kCommands{
    Command{"GET_VERSION", alternative_of<GetVersion>, false, true},
    Command{"GET_STATUS", alternative_of<GetStatus>, false, true},
    Command{"ENSURE_IDENTITY", alternative_of<EnsureIdentity>, true, false},
    // Creates a missing identity like ENSURE_IDENTITY, but is open to every caller.
    Command{"GET_PUBLIC_IDENTITY", alternative_of<GetPublicIdentity>, false, true},
    Command{"APPLY_CONFIG", alternative_of<ApplyConfig>, true, false},
    Command{"START", alternative_of<Start>, true, false},
    Command{"STOP", alternative_of<Stop>, true, false},
    Command{"REPAIR", alternative_of<Repair>, true, false},
    Command{"PREPARE_IDENTITY_ROTATION", alternative_of<PrepareIdentityRotation>, true, false},
    Command{"COMMIT_IDENTITY_ROTATION", alternative_of<CommitIdentityRotation>, true, false},
    Command{"ABORT_IDENTITY_ROTATION", alternative_of<AbortIdentityRotation>, true, false},
};

namespace command_table_detail {
consteval bool rows_follow_alternatives() {
    for (std::size_t i = 0; i < kCommands.size(); ++i) {
        if (kCommands[i].alternative != i)
            return false;
    }
    return true;
}
}  // namespace command_table_detail
static_assert(kCommands.size() == std::variant_size_v<ServiceRequest>,
              "every request alternative has exactly one row");
static_assert(command_table_detail::rows_follow_alternatives(),
              "the rows stand in the order of the request alternatives");

// The row of a request, and of a request type.
constexpr const Command& command_of(const ServiceRequest& request) {
    return kCommands[request.index()];
}
template <typename Request>
inline constexpr std::string_view wire_name_of = kCommands[alternative_of<Request>].wire_name;

// The alternative a wire name stands for; exact spelling only.
constexpr std::optional<std::size_t> alternative_named(std::string_view wire_name) {
    for (const Command& command : kCommands) {
        if (command.wire_name == wire_name)
            return command.alternative;
    }
    return std::nullopt;
}

// The body of a request without payload as clients send it: {"command":"GET_STATUS"}. Wire
// names are plain capitals and need no escapes.
inline std::string request_without_payload(std::string_view wire_name) {
    return R"({"command":")" + std::string(wire_name) + R"("})";
}

}  // namespace velnaro
