#pragma once

#include <expected>

#include "core/failure.hpp"

namespace velnaro::platform {

// The record is core's, so that a failure keeps it on its way up through layers that know
// nothing of the platform.
using velnaro::OsError;

template <class T>
using OsResult = std::expected<T, OsError>;

}  // namespace velnaro::platform
