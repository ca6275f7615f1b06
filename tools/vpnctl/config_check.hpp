#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace velnaro::vpnctl {

// The APPLY_CONFIG request for a configuration `text` read from `source` (a file name, or
// "standard input"), or the message naming the first fault. The text is read by the
// service's own rules for the payload, then its values are judged as the service would,
// so that a refused configuration never leaves this machine's user.
std::expected<std::string, std::string> apply_request(std::string_view source,
                                                      std::string_view text);

// Line and column (both from 1) of the byte at `offset` (1 for the first byte).
struct TextPosition {
    std::size_t line = 1;
    std::size_t column = 1;
};
TextPosition position_of(std::string_view text, std::size_t offset);

}  // namespace velnaro::vpnctl
