#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/config_reader.hpp"
#include "protocol/messages.hpp"
#include "protocol/strict_json.hpp"

namespace velnaro {
namespace {

using namespace std::string_view_literals;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Outcome<ServiceRequest> decode(std::string_view text) {
    return decode_request(bytes_of(text));
}

std::string text_of(const std::vector<std::uint8_t>& body) {
    return {reinterpret_cast<const char*>(body.data()), body.size()};
}

std::string encode_text(const ServiceResponse& response) {
    const auto body = encode_response(response);
    EXPECT_TRUE(body.has_value());
    return body ? text_of(*body) : std::string();
}

// The members of a configuration payload, each written as raw JSON so a test can replace
// one value with any text at all.
struct ConfigMembers {
    std::vector<std::pair<std::string, std::string>> members{
        {"configVersion", "1"},
        {"address", R"("10.250.10.21/32")"},
        {"gatewayPublicKey", R"("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=")"},
        {"endpointHost", R"("gw.example.net")"},
        {"endpointPort", "51820"},
        {"allowedIps", R"(["10.250.0.0/16","192.168.4.0/24"])"},
        {"persistentKeepalive", "25"},
    };

    ConfigMembers& set(const std::string& name, const std::string& json) {
        for (auto& [key, value] : members) {
            if (key == name) {
                value = json;
            }
        }
        return *this;
    }
    ConfigMembers& drop(const std::string& name) {
        std::erase_if(members, [&](const auto& member) { return member.first == name; });
        return *this;
    }
    ConfigMembers& add(const std::string& name, const std::string& json) {
        members.emplace_back(name, json);
        return *this;
    }
    std::string payload() const {
        std::string text = "{";
        for (std::size_t i = 0; i < members.size(); ++i) {
            text += (i ? "," : "") + ("\"" + members[i].first + "\":") + members[i].second;
        }
        return text + "}";
    }
    std::string request() const {
        return R"({"command":"APPLY_CONFIG","payload":)" + payload() + "}";
    }
};

TEST(DecodeRequest, ReadsEveryCommandWithAbsentOrNullPayload) {
    const std::vector<std::string> names = {"GET_VERSION",
                                            "GET_STATUS",
                                            "ENSURE_IDENTITY",
                                            "GET_PUBLIC_IDENTITY",
                                            "APPLY_CONFIG",
                                            "START",
                                            "STOP",
                                            "REPAIR",
                                            "PREPARE_IDENTITY_ROTATION",
                                            "COMMIT_IDENTITY_ROTATION",
                                            "ABORT_IDENTITY_ROTATION"};
    for (std::size_t index = 0; index < names.size(); ++index) {
        if (names[index] == "APPLY_CONFIG") {
            continue;
        }
        for (const std::string& text : {R"({"command":")" + names[index] + "\"}",
                                        R"({"command":")" + names[index] + R"(","payload":null})",
                                        R"({"payload":null,"command":")" + names[index] + "\"}"}) {
            const auto request = decode(text);
            ASSERT_TRUE(request) << text;
            EXPECT_EQ(request->index(), index) << text;
            EXPECT_EQ(command_name(*request), names[index]);
        }
    }
}

TEST(DecodeRequest, AcceptsJsonWhiteSpaceAroundTheValueOnly) {
    for (std::string_view text :
         {"{\"command\":\"GET_VERSION\"}\r\n", " \t\r\n{ \"command\" : \"GET_VERSION\" }\t \n",
          "{\"comm\\u0061nd\":\"GET_VERSION\"}"}) {
        const auto request = decode(text);
        ASSERT_TRUE(request) << text;
        EXPECT_TRUE(std::holds_alternative<GetVersion>(*request)) << text;
    }
}

TEST(DecodeRequest, RefusesAnythingButOneWellFormedRequest) {
    const std::vector<std::string_view> cases = {
        // Shape of the request object.
        R"({"command":"STOP","payload":{}})",
        R"({"command":"STOP","payload":[]})",
        R"({"command":"STOP","payload":0})",
        R"({"command":"STOP","payload":""})",
        R"({"command":"STOP","payload":false})",
        R"({"command":"APPLY_CONFIG"})",
        R"({"command":"APPLY_CONFIG","payload":null})",
        R"({"command":"get_version"})",
        R"({"command":"GET_VERSIONS"})",
        R"({"command":" GET_VERSION"})",
        R"({"command":"GET_VERSION\u0000"})",
        R"({"command":"GET_VERSION","id":1})",
        R"({"command":"GET_VERSION","command":"STOP"})",
        R"({"command":"GET_VERSION","command":"GET_VERSION"})",
        R"({"command":"STOP","payload":null,"payload":null})",
        R"({"command":null})",
        R"({"command":11})",
        R"({"payload":null})",
        R"({})",
        R"([])",
        R"(null)",
        R"("GET_VERSION")",
        // The two alternative forms are refused.
        R"(["GET_VERSION",null])",
        R"({"command":{"GET_VERSION":null}})",
        // What follows and precedes the value.
        R"({"command":"GET_VERSION"}x)",
        R"({"command":"GET_VERSION"}{})",
        "{\"command\":\"GET_VERSION\"}\f",
        "{\"command\":\"GET_VERSION\"}\v",
        "{\"command\":\"GET_VERSION\"}\0"sv,
        "{\"command\":\"GET_VERSION\"}\0garbage"sv,
        "{\"command\":\"GET_VERSION\"}\0{\"x\":1}"sv,
        "{\"command\":\"GET_VERSION\0\"}"sv,
        "\xEF\xBB\xBF{\"command\":\"GET_VERSION\"}",
        R"({"command":"GET_VERSION"} /* note */)",
        R"({"command":"GET_VERSION",})",
        R"({"command":"GET_VERSION")",
        R"({'command':'GET_VERSION'})",
        // Text that is not JSON text at all.
        " ",
        "\xff",
        "{\"command\":\"\xff\"}",
    };
    for (std::string_view text : cases) {
        const auto request = decode(text);
        ASSERT_FALSE(request) << text;
        EXPECT_EQ(request.error(), DetailCode::IPC_REQUEST_INVALID) << text;
    }
}

TEST(DecodeRequest, BodySizeIsOneTo65536Bytes) {
    EXPECT_EQ(decode("").error(), DetailCode::IPC_MESSAGE_SIZE_INVALID);

    std::string largest = R"({"command":"GET_VERSION"})";
    largest.resize(MAX_IPC_MESSAGE_BYTES, ' ');
    const auto request = decode(largest);
    ASSERT_TRUE(request);
    EXPECT_TRUE(std::holds_alternative<GetVersion>(*request));

    EXPECT_EQ(decode(largest + " ").error(), DetailCode::IPC_MESSAGE_SIZE_INVALID);
    EXPECT_EQ(decode(std::string(MAX_IPC_MESSAGE_BYTES, 'x')).error(),
              DetailCode::IPC_REQUEST_INVALID);
}

TEST(DecodeRequest, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    for (const std::string& text : {std::string(MAX_IPC_MESSAGE_BYTES, '['),
                                    R"({"command":"STOP","payload":)" + std::string(30000, '[') +
                                        std::string(30000, ']') + "}",
                                    std::string(30000, '{') + "}"}) {
        EXPECT_EQ(decode(text).error(), DetailCode::IPC_REQUEST_INVALID);
    }
}

bool read_any(std::string_view text) {
    AnyJsonValue reader;
    return read_strict_json(bytes_of(text), reader);
}

std::string nested_arrays(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

std::string nested_objects(std::size_t depth) {
    std::string text;
    for (std::size_t i = 1; i < depth; ++i) {
        text += R"({"a":)";
    }
    return text + "{}" + std::string(depth - 1, '}');
}

TEST(StrictJson, NestsAtMost127Deep) {
    EXPECT_TRUE(read_any(nested_arrays(127)));
    EXPECT_FALSE(read_any(nested_arrays(128)));
    EXPECT_TRUE(read_any(nested_objects(127)));
    EXPECT_FALSE(read_any(nested_objects(128)));
    // The budget is given back when a container closes: siblings do not add up.
    EXPECT_TRUE(read_any("[" + nested_arrays(126) + "," + nested_arrays(126) + "]"));
}

TEST(StrictJson, RefusesInvalidTextAndTrailingGarbage) {
    const std::vector<std::pair<std::string_view, bool>> cases = {
        {"\"\\ud83d\\ude00\"", true},   // a surrogate pair
        {"\"\\u0000\"", true},          // an escaped NUL is a character like any other
        {"\"\xc3\xa9\"", true},         // two-byte UTF-8
        {"\"\\ud800\"", false},         // lone high surrogate
        {"\"\\udc00\"", false},         // lone low surrogate
        {"\"\\ud800\\u0041\"", false},  // high surrogate followed by a non-surrogate
        {"\"\xc3\x28\"", false},        // broken two-byte sequence
        {"\"\xc0\xaf\"", false},        // overlong encoding
        {"\"\xed\xa0\x80\"", false},    // an encoded surrogate
        {"\"a\x01\"", false},           // raw control character
        {"1 2", false},
        {"[] \n\t\r", true},
        {"[]\x0b", false},
        {"// note\n[]", false},
    };
    for (auto [text, valid] : cases) {
        EXPECT_EQ(read_any(text), valid) << text;
    }
}

TEST(DecodeRequest, ReadsTheConfigurationPayload) {
    const auto request = decode(ConfigMembers{}.request());
    ASSERT_TRUE(request);
    const auto* apply = std::get_if<ApplyConfig>(&*request);
    ASSERT_NE(apply, nullptr);
    const TunnelConfig expected{1,
                                "10.250.10.21/32",
                                std::string(43, 'A') + "=",
                                "gw.example.net",
                                51820,
                                {"10.250.0.0/16", "192.168.4.0/24"},
                                25};
    EXPECT_EQ(apply->config, expected);
}

TEST(DecodeRequest, ConfigurationMembersMayComeInAnyOrderAndBeforeTheCommand) {
    const std::string text =
        R"({"payload":{"persistentKeepalive":5,"allowedIps":[],"endpointPort":0,)"
        R"("endpointHost":"","gatewayPublicKey":"","address":"","configVersion":0},)"
        R"("command":"APPLY_CONFIG"})";
    const auto request = decode(text);
    ASSERT_TRUE(request);
    // Values are not judged here; validation does that when the configuration is applied.
    EXPECT_EQ(std::get<ApplyConfig>(*request).config, (TunnelConfig{0, "", "", "", 0, {}, 5}));
}

TEST(DecodeRequest, ConfigurationValuesKeepTheirWidthAndType) {
    struct Case {
        std::string member;
        std::string json;
        bool readable;
    };
    const std::vector<Case> cases = {
        {"configVersion", "18446744073709551615", true},
        {"configVersion", "18446744073709551616", false},
        {"configVersion", "0", true},
        {"configVersion", "-1", false},
        {"configVersion", "-0", false},
        {"configVersion", "1.0", false},
        {"configVersion", "1.5", false},
        {"configVersion", "1e2", false},
        {"configVersion", "15e-1", false},
        {"configVersion", "\"1\"", false},
        {"configVersion", "null", false},
        {"configVersion", "true", false},
        {"endpointPort", "65535", true},
        {"endpointPort", "65536", false},
        {"endpointPort", "4294967297", false},
        {"endpointPort", "-51820", false},
        {"endpointPort", "51820.5", false},
        {"persistentKeepalive", "65535", true},
        {"persistentKeepalive", "65536", false},
        {"persistentKeepalive", "null", false},
        {"address", "10", false},
        {"address", "null", false},
        {"address", "[\"10.0.0.1/32\"]", false},
        {"address", "\"\\u0000\"", true},
        {"address", "\"\\ud800\"", false},
        {"endpointHost", "\"bad\xff\"", false},
        {"gatewayPublicKey", "{}", false},
        {"allowedIps", "[]", true},
        {"allowedIps", "\"10.0.0.0/8\"", false},
        {"allowedIps", "[\"10.0.0.0/8\",1]", false},
        {"allowedIps", "[null]", false},
        {"allowedIps", "[[\"10.0.0.0/8\"]]", false},
        {"allowedIps", "null", false},
    };
    for (const Case& c : cases) {
        const ConfigMembers members = ConfigMembers{}.set(c.member, c.json);
        const auto request = decode(members.request());
        EXPECT_EQ(request.has_value(), c.readable) << c.member << " = " << c.json;
        if (!request) {
            EXPECT_EQ(request.error(), DetailCode::IPC_REQUEST_INVALID);
        }
        // A client's check of the payload alone follows the same rules and names the member
        // (text that is not JSON at all is named as such).
        const auto alone = read_tunnel_config(bytes_of(members.payload()));
        EXPECT_EQ(alone.has_value(), c.readable) << c.member << " = " << c.json;
        if (!alone && alone.error().kind != ConfigTextFault::Kind::not_json) {
            EXPECT_EQ(alone.error().kind, ConfigTextFault::Kind::wrong_type) << c.json;
            EXPECT_EQ(alone.error().member, c.member) << c.json;
        }
    }
    const auto widest = decode(ConfigMembers{}
                                   .set("configVersion", "18446744073709551615")
                                   .set("endpointPort", "65535")
                                   .request());
    ASSERT_TRUE(widest);
    EXPECT_EQ(std::get<ApplyConfig>(*widest).config.config_version,
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(std::get<ApplyConfig>(*widest).config.endpoint_port, 65535);
}

TEST(DecodeRequest, ConfigurationNeedsExactlyItsSevenMembers) {
    const ConfigMembers complete;
    using Kind = ConfigTextFault::Kind;
    const auto fault_of = [](const ConfigMembers& members) {
        const auto config = read_tunnel_config(bytes_of(members.payload()));
        return config ? std::pair<Kind, std::string>{}
                      : std::pair{config.error().kind, config.error().member};
    };
    for (const auto& [name, value] : complete.members) {
        EXPECT_FALSE(decode(ConfigMembers{}.drop(name).request())) << "missing " << name;
        EXPECT_FALSE(decode(ConfigMembers{}.add(name, value).request())) << "twice " << name;
        EXPECT_EQ(fault_of(ConfigMembers{}.drop(name)), std::pair(Kind::missing_member, name));
        EXPECT_EQ(fault_of(ConfigMembers{}.add(name, value)),
                  std::pair(Kind::repeated_member, name));
    }
    EXPECT_EQ(fault_of(ConfigMembers{}.add("mtu", "1420")),
              std::pair(Kind::unknown_member, std::string("mtu")));
    EXPECT_TRUE(read_tunnel_config(bytes_of(complete.payload())));
    for (const std::string_view text : {"null"sv, "[1]"sv, "\"x\""sv, "7"sv}) {
        EXPECT_EQ(read_tunnel_config(bytes_of(text)).error().kind, Kind::not_an_object) << text;
    }
    const auto broken = read_tunnel_config(bytes_of("{\n\"configVersion\": }"));
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().kind, Kind::not_json);
    EXPECT_EQ(broken.error().text.offset, 20u) << "the byte where reading stopped: the brace";
    EXPECT_FALSE(decode(ConfigMembers{}.add("mtu", "1420").request()));
    EXPECT_FALSE(decode(ConfigMembers{}.add("ConfigVersion", "1").request()));
    EXPECT_FALSE(decode(R"({"command":"APPLY_CONFIG","payload":{}})"));
    // The seven values as an array in place of the object are refused.
    EXPECT_FALSE(decode(R"({"command":"APPLY_CONFIG","payload":[1,"10.0.0.1/32",)"
                        R"("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=","gw",51820,)"
                        R"(["10.0.0.0/8"],25]})"));
    // A configuration is refused on every other command.
    std::string stop = ConfigMembers{}.request();
    stop.replace(stop.find("APPLY_CONFIG"), 12, "STOP");
    EXPECT_FALSE(decode(stop));
}

TEST(EncodeResponse, WritesEachResponseCompactlyInMemberOrder) {
    const std::vector<std::pair<ServiceResponse, std::string_view>> cases = {
        {VersionResponse{}, R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})"},
        {AcceptedResponse{}, R"({"type":"ACCEPTED"})"},
        {ErrorResponse{ErrorPayload{DetailCode::TUNNEL_CONFIG_MISSING}},
         R"({"type":"ERROR","payload":{"code":"TUNNEL_CONFIG_MISSING"}})"},
        {StatusResponse{ConnectionStatus{}},
         R"({"type":"STATUS","payload":{"state":"DISCONNECTED","serviceName":"VelnaroVpnService",)"
         R"("tunnelName":"VelnaroTunnel","serviceVersion":"0.1.0","detailCode":null,)"
         R"("lastHandshakeUnixSeconds":null,"rxBytes":0,"txBytes":0}})"},
        {StatusResponse{ConnectionStatus{ConnectionState::DEGRADED,
                                         DetailCode::WIREGUARD_HANDSHAKE_STALE, 1700000000,
                                         std::numeric_limits<std::uint64_t>::max(), 10}},
         R"({"type":"STATUS","payload":{"state":"DEGRADED","serviceName":"VelnaroVpnService",)"
         R"("tunnelName":"VelnaroTunnel","serviceVersion":"0.1.0",)"
         R"("detailCode":"WIREGUARD_HANDSHAKE_STALE","lastHandshakeUnixSeconds":1700000000,)"
         R"("rxBytes":18446744073709551615,"txBytes":10}})"},
        {PublicIdentityResponse{PublicIdentity{"6f1c2b3a-0d4e-4f5a-8b6c-7d8e9f0a1b2c",
                                               std::string(43, 'A') + "=", 4294967295u}},
         R"({"type":"PUBLIC_IDENTITY","payload":{"installationId":)"
         R"("6f1c2b3a-0d4e-4f5a-8b6c-7d8e9f0a1b2c","publicKey":)"
         R"("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=","keyVersion":4294967295}})"},
    };
    for (const auto& [response, expected] : cases) {
        EXPECT_EQ(encode_text(response), expected);
    }
}

TEST(EncodeResponse, EscapesTextsTheStandardWay) {
    const std::string key = std::string("q\"b\\s/\b\f\n\r\t\x01\x1f\x7f") + "\xc3\xa9" + '\0';
    const std::string text = encode_text(PublicIdentityResponse{PublicIdentity{"", key, 0}});
    EXPECT_NE(text.find(R"("publicKey":"q\"b\\s/\b\f\n\r\t\u0001\u001f)"
                        "\x7f\xc3\xa9"
                        R"(\u0000")"),
              std::string::npos)
        << text;
    // Any JSON reader gets the original text back.
    EXPECT_EQ(nlohmann::json::parse(text)["payload"]["publicKey"].get<std::string>(), key);
}

TEST(EncodeResponse, RefusesTextThatIsNotUtf8) {
    for (std::string bad : {"\xff", "\xc3", "\xed\xa0\x80"}) {
        const auto body = encode_response(PublicIdentityResponse{PublicIdentity{"", bad, 1}});
        ASSERT_FALSE(body);
        EXPECT_EQ(body.error(), DetailCode::IPC_RESPONSE_SERIALIZE_FAILED);
    }
}

TEST(EncodeResponse, AcceptsExactly65536Bytes) {
    const std::size_t overhead =
        encode_response(PublicIdentityResponse{PublicIdentity{"", "", 0}})->size();
    const std::string fits(MAX_IPC_MESSAGE_BYTES - overhead, 'k');
    const auto largest = encode_response(PublicIdentityResponse{PublicIdentity{"", fits, 0}});
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->size(), MAX_IPC_MESSAGE_BYTES);

    const auto too_large =
        encode_response(PublicIdentityResponse{PublicIdentity{"", fits + "k", 0}});
    ASSERT_FALSE(too_large);
    EXPECT_EQ(too_large.error(), DetailCode::IPC_RESPONSE_TOO_LARGE);
}

}  // namespace
}  // namespace velnaro
