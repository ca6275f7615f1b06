#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "core/failure.hpp"
#include "platform/platform.hpp"

namespace velnaro {

inline constexpr std::size_t kFrameHeaderBytes = 4;

// Why a transfer stopped short. A time-out is kept apart from a failure because the server
// drops a slow client without answering, but answers a broken one.
enum class TransferEnd { complete, closed, timed_out, failed };

std::array<std::uint8_t, kFrameHeaderBytes> frame_header(std::uint32_t body_size);
std::uint32_t frame_body_size(std::span<const std::uint8_t, kFrameHeaderBytes> header);

// Repeats reads until `buffer` is full, or writes until `data` is gone, within `deadline`
// on the platform's monotonic clock.
TransferEnd read_exact(platform::Platform& platform, platform::PipeConnection& pipe,
                       std::span<std::uint8_t> buffer,
                       std::chrono::steady_clock::time_point deadline);
TransferEnd write_all(platform::Platform& platform, platform::PipeConnection& pipe,
                      std::span<const std::uint8_t> data,
                      std::chrono::steady_clock::time_point deadline);

}  // namespace velnaro
