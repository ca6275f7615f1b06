#include "core/detail_code.hpp"

#include <array>

namespace velnaro {
namespace {

constexpr std::array kTexts{
#define VELNARO_DETAIL_CODE_TEXT(name) std::string_view{#name},
    VELNARO_DETAIL_CODES(VELNARO_DETAIL_CODE_TEXT)
#undef VELNARO_DETAIL_CODE_TEXT
};

}  // namespace

std::string_view to_text(DetailCode code) { return kTexts.at(static_cast<std::size_t>(code)); }

std::optional<DetailCode> detail_code_from_text(std::string_view text) {
    for (std::size_t i = 0; i < kTexts.size(); ++i) {
        if (kTexts[i] == text) {
            return static_cast<DetailCode>(i);
        }
    }
    return std::nullopt;
}

}  // namespace velnaro
