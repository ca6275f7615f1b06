#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velnaro {

using Uuid = std::array<std::uint8_t, 16>;

// Sets the version nibble to 4 and the RFC 4122 variant on 16 random bytes.
Uuid make_uuid_v4(std::array<std::uint8_t, 16> random_bytes);

// 36 lower-case characters, 8-4-4-4-12.
std::string uuid_to_text(const Uuid& uuid);

// Accepts the hyphenated 36-character form in either case.
std::optional<Uuid> parse_uuid_text(std::string_view text);

}  // namespace velnaro
