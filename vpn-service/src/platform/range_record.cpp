#include "platform/range_guard.hpp"

#include <algorithm>
#include <charconv>

namespace velnaro::platform {
namespace {

std::optional<std::uint32_t> mark_of(std::string_view text) {
    std::uint32_t mark = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), mark);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return mark;
}

}  // namespace

std::string guard_record_text(const GuardedTunnel& tunnel, MarkLine mark) {
    std::string text = "interface " + tunnel.interface_name + "\n";
    text += "address " + tunnel.address + "\n";
    text += "endpoint " + tunnel.endpoint + "\n";
    if (mark == MarkLine::written)
        text += "mark " + std::to_string(tunnel.mark) + "\n";
    for (const auto& range : tunnel.ranges)
        text += "range " + range + "\n";
    return text;
}

std::optional<GuardedTunnel> read_guard_record(std::string_view text) {
    GuardedTunnel tunnel;
    while (!text.empty()) {
        const auto end = std::min(text.find('\n'), text.size());
        const auto line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.empty())
            continue;
        const auto space = line.find(' ');
        const auto key = line.substr(0, space);
        const std::string value(space == std::string_view::npos ? "" : line.substr(space + 1));
        if (key == "interface")
            tunnel.interface_name = value;
        else if (key == "address")
            tunnel.address = value;
        else if (key == "endpoint")
            tunnel.endpoint = value;
        else if (key == "range")
            tunnel.ranges.push_back(value);
        else if (const auto mark = mark_of(value); key == "mark" && mark)
            tunnel.mark = *mark;
        else
            return std::nullopt;
    }
    return tunnel;
}

}  // namespace velnaro::platform
