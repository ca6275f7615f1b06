#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>

namespace velnaro {

// Objects and arrays nest at most 127 deep: the reader starts with 128 units and refuses
// the container that would take the last one.
inline constexpr std::size_t kJsonDepthBudget = 128;

// Where and why the text itself stopped being JSON (not what a derived reader refused).
struct JsonTextFault {
    // Bytes read up to and including the one that stopped the reading, when that is known.
    std::optional<std::size_t> offset;
    std::string reason;  // the parser's own words, for a person reading a file
};

// Event reader for JSON that the service reads strictly. Containers are counted here, so
// a body of nothing but brackets is refused at the budget without recursion and without
// building a tree; what the events mean is left to the derived reader, which refuses a
// value by returning false.
class StrictJsonReader : public nlohmann::json_sax<nlohmann::json> {
  public:
    bool start_object(std::size_t elements) final;
    bool end_object() final;
    bool start_array(std::size_t elements) final;
    bool end_array() final;
    bool binary(binary_t& value) final;
    bool parse_error(std::size_t position, const std::string& last_token,
                     const nlohmann::detail::exception& error) final;

    // Set when the text was refused as JSON: a syntax error, a byte-order mark, a zero byte
    // or nesting beyond the budget. Never sent to a client of the service.
    const std::optional<JsonTextFault>& text_fault() const { return text_fault_; }
    void note_text_fault(std::optional<std::size_t> offset, std::string reason);

  protected:
    virtual bool object_started() = 0;
    virtual bool object_ended() = 0;
    virtual bool array_started() = 0;
    virtual bool array_ended() = 0;

  private:
    bool enter_container();
    std::size_t depth_budget_ = kJsonDepthBudget;
    std::optional<JsonTextFault> text_fault_;
};

// Takes any JSON value, so only the reader's own rules decide: for telling a broken text from
// a well-formed one of the wrong shape.
class AnyJsonValue final : public StrictJsonReader {
  public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool key(string_t&) override { return true; }

  protected:
    bool object_started() override { return true; }
    bool object_ended() override { return true; }
    bool array_started() override { return true; }
    bool array_ended() override { return true; }
};

// Feeds one JSON text to `reader`: true only when the text is exactly one value that the
// reader accepted, followed by nothing but JSON white space. A byte-order mark, comments
// and invalid UTF-8 (lone surrogate escapes included) are refused.
bool read_strict_json(std::span<const std::uint8_t> text, StrictJsonReader& reader);

}  // namespace velnaro
