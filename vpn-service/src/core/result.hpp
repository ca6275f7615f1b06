#pragma once

#include <expected>

#include "core/detail_code.hpp"

namespace velnaro {

// Every operation returns its value or exactly one detail code; a code raised below
// passes up unchanged.
template <class T>
using Result = std::expected<T, DetailCode>;
using Status = std::expected<void, DetailCode>;

inline std::unexpected<DetailCode> fail(DetailCode code) { return std::unexpected(code); }

}  // namespace velnaro
