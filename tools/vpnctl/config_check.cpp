#include "config_check.hpp"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "protocol/commands.hpp"
#include "protocol/config_reader.hpp"
#include "protocol/messages.hpp"
#include "tunnel_config/config_fields.hpp"

namespace velnaro::vpnctl {

namespace {

using Kind = ConfigTextFault::Kind;

// The members' names in wire order, separated by ", ".
std::string member_list() {
    std::string list;
    for (const ConfigField& field : kConfigFields)
        list += (list.empty() ? "" : ", ") + std::string(field.json_name);
    return list;
}

// The JSON value a member's type takes.
std::string expected_type(std::string_view name) {
    const ConfigField* field = config_field_named(name);
    if (!field)
        return "a string";
    return std::visit(
        [](auto member) -> std::string {
            using Value = std::remove_cvref_t<decltype(TunnelConfig{}.*member)>;
            if constexpr (std::is_integral_v<Value>)
                return "a whole number from 0 to " +
                       std::to_string(std::numeric_limits<Value>::max());
            else if constexpr (std::is_same_v<Value, std::vector<std::string>>)
                return "an array of strings";
            else
                return "a string";
        },
        field->target);
}

bool is_written(const ConfigField& field, const TunnelConfig& config) {
    return std::visit(
        [&](auto member) {
            const auto& value = config.*member;
            if constexpr (std::is_integral_v<std::remove_cvref_t<decltype(value)>>)
                return value != 0;
            else
                return !value.empty();
        },
        field.target);
}

std::string in_quotes(std::string_view member) {
    return "\"" + std::string(member) + "\"";
}

std::string describe(std::string_view text, const ConfigTextFault& fault) {
    switch (fault.kind) {
        case Kind::not_json: {
            if (!fault.text.offset)
                return "not valid JSON: " + fault.text.reason;
            const TextPosition at = position_of(text, *fault.text.offset);
            return "not valid JSON at line " + std::to_string(at.line) + ", column " +
                   std::to_string(at.column) + ": " + fault.text.reason;
        }
        case Kind::not_an_object:
            return "the configuration must be one JSON object with the members " + member_list();
        case Kind::missing_member:
            return "the member " + in_quotes(fault.member) + " is missing";
        case Kind::unknown_member:
            return "unknown member " + in_quotes(fault.member) + " (the members are " +
                   member_list() + ")";
        case Kind::repeated_member:
            return "the member " + in_quotes(fault.member) + " is given twice";
        case Kind::wrong_type:
            return "the member " + in_quotes(fault.member) + " must be " +
                   std::string(expected_type(fault.member));
    }
    return "not a tunnel configuration";
}

// The member to name for the first refused one. Members judged as one (the endpoint's host and
// port share a refusal): when the first is written but wrong and the next is wrong too, the
// next is named, as vpnctl always has (a written host with port 0 names the port).
const ConfigField& named_field(const TunnelConfig& config, const ConfigField& refused) {
    const ConfigField* next = &refused + 1;
    if (next != kConfigFields.end() && next->refusal == refused.refusal &&
        is_written(refused, config) && !is_valid_value(*next, config))
        return *next;
    return refused;
}

// The service checks the values in the table's order and answers the first failing rule.
std::string describe(const TunnelConfig& config, const ConfigField& refused) {
    const ConfigField& named = named_field(config, refused);
    return "the member " + in_quotes(named.json_name) + " " + std::string(named.rule_text) +
           " (" + std::string(to_text(refused.refusal)) + ")";
}

std::string request_body(const TunnelConfig& config) {
    nlohmann::ordered_json payload;
    for (const ConfigField& field : kConfigFields)
        std::visit([&](auto member) { payload[std::string(field.json_name)] = config.*member; },
                   field.target);
    nlohmann::ordered_json request;
    request["command"] = wire_name_of<ApplyConfig>;
    request["payload"] = std::move(payload);
    return request.dump();
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

TextPosition position_of(std::string_view text, std::size_t offset) {
    const std::size_t index = std::min(offset == 0 ? 0 : offset - 1, text.size());
    const std::string_view before = text.substr(0, index);
    TextPosition at;
    at.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t line_start = before.rfind('\n');
    at.column = line_start == std::string_view::npos ? index + 1 : index - line_start;
    return at;
}

std::expected<std::string, std::string> apply_request(std::string_view source,
                                                      std::string_view text) {
    const std::string prefix = "vpnctl: " + std::string(source) + ": ";
    const auto config = read_tunnel_config(bytes_of(text));
    if (!config)
        return std::unexpected(prefix + describe(text, config.error()) + "; nothing was sent\n");
    if (const ConfigField* refused = first_invalid_field(*config))
        return std::unexpected(prefix + describe(*config, *refused) + "; nothing was sent\n");
    std::string body = request_body(*config);
    // Strings can grow when written again (escapes), so the size is judged on what is sent.
    if (!decode_request(bytes_of(body)))
        return std::unexpected(prefix + "too large for one request (" +
                               std::to_string(MAX_IPC_MESSAGE_BYTES) +
                               " bytes at most); nothing was sent\n");
    return body;
}

}  // namespace velnaro::vpnctl
