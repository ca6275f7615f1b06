#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/strict_json.hpp"
#include "tunnel_config/config_fields.hpp"
#include "tunnel_config/tunnel_config.hpp"

namespace velnaro {

// Why a text is not a tunnel configuration as APPLY_CONFIG's payload must be written. The
// service answers all of these with IPC_REQUEST_INVALID; a client checking a file before it
// sends it names the fault instead.
struct ConfigTextFault {
    enum class Kind : std::uint8_t {
        not_json,         // `text` says where and why
        not_an_object,    // the text is JSON but not one object
        missing_member,   // `member` is required and absent
        unknown_member,   // `member` is not one of kConfigFields
        repeated_member,  // `member` stands twice
        wrong_type,       // `member` holds a value of the wrong JSON type or width
    };
    Kind kind = Kind::not_json;
    std::string member;
    JsonTextFault text;
};

// Reads `text` by the same rules as the payload of an APPLY_CONFIG request. The values are
// not judged here (validate_tunnel_config does that).
std::expected<TunnelConfig, ConfigTextFault> read_tunnel_config(std::span<const std::uint8_t> text);

}  // namespace velnaro
