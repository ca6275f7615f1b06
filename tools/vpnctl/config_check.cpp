#include "config_check.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <span>

#include "protocol/commands.hpp"
#include "protocol/config_reader.hpp"
#include "protocol/messages.hpp"

namespace velnaro::vpnctl {

namespace {

using Kind = ConfigTextFault::Kind;
using enum ConfigMember;

// "configVersion, address, ..., persistentKeepalive"
std::string member_list() {
    std::string list;
    for (const std::string_view name : kConfigMemberNames)
        list += (list.empty() ? "" : ", ") + std::string(name);
    return list;
}

std::string_view expected_type(std::string_view name) {
    switch (member_named(name).value_or(Address)) {
        case ConfigVersion:
            return "a whole number from 0 to 18446744073709551615";
        case EndpointPort:
        case PersistentKeepalive:
            return "a whole number from 0 to 65535";
        case AllowedIps:
            return "an array of strings";
        default:
            return "a string";
    }
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

// The service checks the values in this order and answers the first failing rule.
std::string describe(const TunnelConfig& config, DetailCode code) {
    ConfigMember member{};
    std::string rule;
    switch (code) {
        case DetailCode::CONFIG_VERSION_INVALID:
            member = ConfigVersion, rule = "must be 1 or more";
            break;
        case DetailCode::ADDRESS_INVALID:
            member = Address,
            rule = "must be a private IPv4 address with its prefix, such as 10.250.10.21/32";
            break;
        case DetailCode::GATEWAY_PUBLIC_KEY_INVALID:
            member = GatewayPublicKey, rule = "must be a base64 key of 44 characters";
            break;
        case DetailCode::ENDPOINT_INVALID:
            if (config.endpoint_port == 0 && !config.endpoint_host.empty())
                member = EndpointPort, rule = "must be 1 to 65535";
            else
                member = EndpointHost,
                rule = "must be a host name or IPv4 address (letters, digits, '-' and '.')";
            break;
        case DetailCode::ALLOWED_IPS_INVALID:
            member = AllowedIps,
            rule =
                "must hold 1 to 16 private IPv4 networks, such as 10.250.0.0/16, and no "
                "default route";
            break;
        case DetailCode::KEEPALIVE_INVALID:
            member = PersistentKeepalive, rule = "must be 5 to 300 seconds";
            break;
        default:
            return "refused (" + std::string(to_text(code)) + ")";
    }
    return "the member " + in_quotes(member_name(member)) + " " + rule + " (" +
           std::string(to_text(code)) + ")";
}

std::string key(ConfigMember member) {
    return std::string(member_name(member));
}

std::string request_body(const TunnelConfig& config) {
    nlohmann::ordered_json payload;
    payload[key(ConfigVersion)] = config.config_version;
    payload[key(Address)] = config.address;
    payload[key(GatewayPublicKey)] = config.gateway_public_key;
    payload[key(EndpointHost)] = config.endpoint_host;
    payload[key(EndpointPort)] = config.endpoint_port;
    payload[key(AllowedIps)] = config.allowed_ips;
    payload[key(PersistentKeepalive)] = config.persistent_keepalive;
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
    if (const Outcome<void> valid = validate_tunnel_config(*config); !valid)
        return std::unexpected(prefix + describe(*config, valid.error().code) + "; nothing was sent\n");
    std::string body = request_body(*config);
    // Strings can grow when written again (escapes), so the size is judged on what is sent.
    if (!decode_request(bytes_of(body)))
        return std::unexpected(prefix + "too large for one request (" +
                               std::to_string(MAX_IPC_MESSAGE_BYTES) +
                               " bytes at most); nothing was sent\n");
    return body;
}

}  // namespace velnaro::vpnctl
