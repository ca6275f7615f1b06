#include "core/detail_code.hpp"

#include <array>

namespace velnaro {
namespace {

constexpr std::array kTexts{
#define VELNARO_DETAIL_CODE_TEXT(name, number) std::string_view{#name},
    VELNARO_DETAIL_CODES(VELNARO_DETAIL_CODE_TEXT)
#undef VELNARO_DETAIL_CODE_TEXT
};

constexpr std::array kNumbers{
#define VELNARO_DETAIL_CODE_NUMBER(name, number) unsigned{number},
    VELNARO_DETAIL_CODES(VELNARO_DETAIL_CODE_NUMBER)
#undef VELNARO_DETAIL_CODE_NUMBER
};
static_assert(kNumbers.size() < 190, "stable numbers must stay below systemd's reserved 200");

}  // namespace

unsigned stable_number(DetailCode code) {
    return kNumbers.at(static_cast<std::size_t>(code));
}

std::optional<DetailCode> detail_code_from_stable_number(unsigned number) {
    for (std::size_t i = 0; i < kNumbers.size(); ++i) {
        if (kNumbers[i] == number) {
            return static_cast<DetailCode>(i);
        }
    }
    return std::nullopt;
}

std::string_view to_text(DetailCode code) {
    return kTexts.at(static_cast<std::size_t>(code));
}

std::optional<DetailCode> detail_code_from_text(std::string_view text) {
    for (std::size_t i = 0; i < kTexts.size(); ++i) {
        if (kTexts[i] == text) {
            return static_cast<DetailCode>(i);
        }
    }
    return std::nullopt;
}

}  // namespace velnaro
