#pragma once

#include <exception>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/detail_code.hpp"

namespace velnaro {

// A detail code as the self-tests print it: its text, or null when there is none.
inline nlohmann::ordered_json nullable_detail_code(const std::optional<DetailCode>& code) {
    if (!code)
        return nullptr;
    return std::string(to_text(*code));
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
