#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/base64.hpp"
#include "identity/identity_file.hpp"
#include "platform/paths.hpp"
#include "tunnel_config/config_fields.hpp"
#include "tunnel_config/config_file.hpp"

namespace velnaro {
namespace {

// The text's first line; a file that does not begin with it is not ours.
constexpr std::string_view kInterfaceHeader = "[Interface]";
// The lines that are not a member's, written by compose_text and read back by
// read_back_tunnel_config; the members' lines are the table's (config_fields.hpp).
constexpr std::string_view kPrivateKeyHead = "PrivateKey = ";
constexpr std::string_view kPeerHeader = "[Peer]";
// A list's entries on its line.
constexpr std::string_view kListSeparator = ", ";

// Holds a typical configuration without growing, so no partial copy of the key is left
// behind in a released block (the allocator wipes it anyway).
constexpr std::size_t kTextReservation = 512;

void append_line(SecretBuffer& text, std::string_view head, std::string_view value = {}) {
    append_text(text, head);
    append_text(text, value);
    text.push_back('\n');
}

// A value as the text holds it: numbers in decimal, a list's entries joined.
void append_value(SecretBuffer& text, const ConfigTarget& target, const TunnelConfig& config) {
    std::visit(
        [&](auto member) {
            const auto& value = config.*member;
            using Value = std::remove_cvref_t<decltype(value)>;
            if constexpr (std::is_same_v<Value, std::string>) {
                append_text(text, value);
            } else if constexpr (std::is_same_v<Value, std::vector<std::string>>) {
                for (std::size_t i = 0; i < value.size(); ++i) {
                    if (i != 0)
                        append_text(text, kListSeparator);
                    append_text(text, value[i]);
                }
            } else {
                append_text(text, std::to_string(value));
            }
        },
        target);
}

// The lines of the members that stand in `section`, in the table's order; a member written
// on the line before joins that line.
void append_members(SecretBuffer& text, const TunnelConfig& config, TextPlace::Kind section) {
    bool line_open = false;
    for (const ConfigField& field : kConfigFields) {
        const bool own_line = field.text.kind == section;
        const bool joins = field.text.kind == TextPlace::Kind::line_before && line_open;
        if (line_open && !joins)
            text.push_back('\n');
        if (own_line || joins) {
            append_text(text, field.text.head);
            append_value(text, field.target, config);
        }
        line_open = own_line || joins;
    }
    if (line_open)
        text.push_back('\n');
}

Outcome<SecretBuffer> compose_text(const TunnelConfig& config, const SecretBuffer& private_key) {
    try {
        SecretBuffer text;
        text.reserve(kTextReservation);
        append_line(text, kInterfaceHeader);
        append_line(text, kPrivateKeyHead, as_text(private_key));
        append_members(text, config, TextPlace::Kind::interface_line);
        append_line(text, "");
        append_line(text, kPeerHeader);
        append_members(text, config, TextPlace::Kind::peer_line);
        return text;
    } catch (const std::bad_alloc&) {
        return fail(DetailCode::TUNNEL_CONFIG_BUILD_FAILED);
    } catch (const std::length_error&) {
        return fail(DetailCode::TUNNEL_CONFIG_BUILD_FAILED);
    }
}

// Decimal digits as the renderer writes numbers: no sign, no leading zero, at most `max`.
std::optional<std::uint64_t> read_number(std::string_view text, std::uint64_t max) {
    if (text.empty() || (text.size() > 1 && text.front() == '0'))
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::vector<std::string> read_list(std::string_view text) {
    std::vector<std::string> entries;
    for (;;) {
        const std::size_t separator = text.find(kListSeparator);
        entries.emplace_back(text.substr(0, separator));
        if (separator == std::string_view::npos)
            return entries;
        text.remove_prefix(separator + kListSeparator.size());
    }
}

// Reads a value as append_value writes it into the member `target` names.
bool read_value(std::string_view text, const ConfigTarget& target, TunnelConfig& config) {
    return std::visit(
        [&](auto member) {
            auto& value = config.*member;
            using Value = std::remove_cvref_t<decltype(value)>;
            if constexpr (std::is_same_v<Value, std::string>) {
                value = text;
            } else if constexpr (std::is_same_v<Value, std::vector<std::string>>) {
                value = read_list(text);
            } else {
                const auto number = read_number(text, std::numeric_limits<Value>::max());
                if (!number)
                    return false;
                value = static_cast<Value>(*number);
            }
            return true;
        },
        target);
}

// The members on one line: after the head of field `first`, and the members written on its
// line after it, each after the last occurrence of its own head (the value before it may hold
// that text: a host read back with a ":" in it).
bool read_line(std::string_view line, std::size_t first, TunnelConfig& config) {
    const ConfigField& field = kConfigFields[first];
    if (!line.starts_with(field.text.head))
        return false;
    line.remove_prefix(field.text.head.size());
    std::size_t end = first + 1;
    while (end < kConfigFields.size() &&
           kConfigFields[end].text.kind == TextPlace::Kind::line_before)
        ++end;
    for (std::size_t i = end; i-- > first + 1;) {
        const std::size_t head = line.rfind(kConfigFields[i].text.head);
        if (head == std::string_view::npos ||
            !read_value(line.substr(head + kConfigFields[i].text.head.size()),
                        kConfigFields[i].target, config))
            return false;
        line = line.substr(0, head);
    }
    return read_value(line, field.target, config);
}

// Reads the lines of the members of `section` from `lines`, starting at `at`; the index
// after them, or nothing when one is not as compose_text writes it.
std::optional<std::size_t> read_members(const std::vector<std::string_view>& lines,
                                        std::size_t at, TextPlace::Kind section,
                                        TunnelConfig& config) {
    for (std::size_t i = 0; i < kConfigFields.size(); ++i) {
        if (kConfigFields[i].text.kind != section)
            continue;
        if (at >= lines.size() || !read_line(lines[at], i, config))
            return std::nullopt;
        ++at;
    }
    return at;
}

constexpr std::size_t member_line_count() {
    std::size_t count = 0;
    for (const ConfigField& field : kConfigFields) {
        if (field.text.kind == TextPlace::Kind::interface_line ||
            field.text.kind == TextPlace::Kind::peer_line)
            ++count;
    }
    return count;
}

// [Interface], its private key, the empty line and [Peer], and a line per member written.
constexpr std::size_t kLineCount = 4 + member_line_count();

// The text's lines, each ended by a line feed, as many as the renderer writes, none left over.
std::optional<std::vector<std::string_view>> text_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty() && lines.size() <= kLineCount) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return std::nullopt;
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    if (lines.size() != kLineCount || !text.empty())
        return std::nullopt;
    return lines;
}

}  // namespace

std::optional<TunnelConfig> read_back_tunnel_config(std::string_view text) {
    const auto lines = text_lines(text);
    if (!lines)
        return std::nullopt;
    const auto& l = *lines;
    if (l[0] != kInterfaceHeader || !l[1].starts_with(kPrivateKeyHead))
        return std::nullopt;
    TunnelConfig config;
    config.config_version = 1;  // not in the text
    const auto peer = read_members(l, 2, TextPlace::Kind::interface_line, config);
    if (!peer || !l[*peer].empty() || l[*peer + 1] != kPeerHeader)
        return std::nullopt;
    const auto end = read_members(l, *peer + 2, TextPlace::Kind::peer_line, config);
    if (!end || *end != l.size())
        return std::nullopt;
    return config;
}

Outcome<void> check_stored_tunnel_config(std::string_view text) {
    const auto config = read_back_tunnel_config(text);
    if (!config || !validate_tunnel_config(*config))
        return fail(DetailCode::TUNNEL_CONFIG_STORED_INVALID);
    return {};
}

Outcome<SecretBuffer> render_tunnel_config_text(const DeviceIdentity& identity,
                                               const TunnelConfig& config) {
    if (auto valid = validate_tunnel_config(config); !valid)
        return fail(valid.error());
    const SecretBuffer private_key = encode_base64_secret(identity.private_key.span());
    return compose_text(config, private_key);
}

Outcome<void> check_tunnel_config_text(std::string_view text) {
    if (text.size() <= kInterfaceHeader.size() || !text.starts_with(kInterfaceHeader) ||
        text.find("PrivateKey =") == std::string_view::npos) {
        return fail(DetailCode::TUNNEL_CONFIG_CONTENT_INVALID);
    }
    return {};
}

}  // namespace velnaro
