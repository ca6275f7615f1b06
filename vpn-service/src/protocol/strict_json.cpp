#include "protocol/strict_json.hpp"

#include <algorithm>
#include <array>

namespace velnaro {

void StrictJsonReader::note_text_fault(std::optional<std::size_t> offset, std::string reason) {
    if (!text_fault_) {
        text_fault_ = JsonTextFault{offset, std::move(reason)};
    }
}

bool StrictJsonReader::enter_container() {
    if (depth_budget_ <= 1) {
        note_text_fault(std::nullopt, "objects and arrays nested more than 127 deep");
        return false;
    }
    --depth_budget_;
    return true;
}

bool StrictJsonReader::start_object(std::size_t) {
    return enter_container() && object_started();
}

bool StrictJsonReader::end_object() {
    ++depth_budget_;
    return object_ended();
}

bool StrictJsonReader::start_array(std::size_t) {
    return enter_container() && array_started();
}

bool StrictJsonReader::end_array() {
    ++depth_budget_;
    return array_ended();
}

bool StrictJsonReader::binary(binary_t&) {
    return false;
}

bool StrictJsonReader::parse_error(std::size_t position, const std::string&,
                                   const nlohmann::detail::exception& error) {
    // The parser's message reads "[json.exception...] parse error at line L, column C: what";
    // only "what" is kept, the position is given as a byte count.
    const std::string_view message = error.what();
    const std::size_t colon = message.find(": ");
    note_text_fault(
        position,
        std::string(colon == std::string_view::npos ? message : message.substr(colon + 2)));
    return false;
}

namespace {

bool starts_with_byte_order_mark(std::span<const std::uint8_t> text) {
    static constexpr std::array<std::uint8_t, 3> kMark{0xEF, 0xBB, 0xBF};
    return text.size() >= kMark.size() && std::equal(kMark.begin(), kMark.end(), text.begin());
}

}  // namespace

bool read_strict_json(std::span<const std::uint8_t> text, StrictJsonReader& reader) {
    // The parser would skip a byte-order mark silently; a body is JSON text and nothing else.
    if (starts_with_byte_order_mark(text)) {
        reader.note_text_fault(1, "a byte-order mark before the JSON text");
        return false;
    }
    // The parser takes a zero byte for the end of its input, which would let anything after
    // it through unread. A zero byte has no place in JSON text (inside strings it must be
    // escaped), so it is refused wherever it stands.
    const auto zero = std::find(text.begin(), text.end(), std::uint8_t{0});
    if (zero != text.end()) {
        reader.note_text_fault(static_cast<std::size_t>(zero - text.begin()) + 1,
                               "a zero byte, which JSON text cannot hold");
        return false;
    }
    try {
        return nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &reader,
                                         nlohmann::json::input_format_t::json,
                                         /*strict=*/true, /*ignore_comments=*/false);
    } catch (...) {
        // Only memory exhaustion can get here; it is a refusal like any other.
        return false;
    }
}

}  // namespace velnaro
