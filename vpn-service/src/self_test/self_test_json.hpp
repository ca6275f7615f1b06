#pragma once

#include <exception>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/failure.hpp"

namespace velnaro {

// A failure's detail code as the self-tests print it: its text, or null when there is none.
inline nlohmann::ordered_json nullable_detail_code(const std::optional<Failure>& failure) {
    if (!failure)
        return nullptr;
    return std::string(to_text(failure->code));
}

// Builds a self-test's result line; nothing when the JSON library refuses (out of memory).
template <class Fill>
std::optional<std::string> self_test_json(Fill fill) {
    try {
        nlohmann::ordered_json json;
        fill(json);
        return json.dump();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace velnaro
