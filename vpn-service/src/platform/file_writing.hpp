#pragma once

#include <cstdint>
#include <span>

#include "platform/file_system.hpp"

namespace velnaro::platform {

// Writes every byte, continuing after partial writes. A write that takes nothing would loop
// for ever, and one claiming more than it was given is a broken platform: neither leaves a
// file that can be trusted, so both count as failure.
bool write_all(FileSystem& files, FileHandle file, std::span<const std::uint8_t> bytes);

}  // namespace velnaro::platform
