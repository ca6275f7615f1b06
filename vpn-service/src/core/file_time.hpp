#pragma once

#include <cstdint>
#include <optional>

namespace velnaro {

// File time: 100-ns units since 1601-01-01 UTC, the wall clock of the platform layer and the
// handshake time in the adapter configuration block on both systems.
inline constexpr std::uint64_t kFileTimeUnitsPerSecond = 10000000ULL;

// 1970-01-01 00:00 UTC as a file time.
inline constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

// Whole seconds since 1970, or nothing for a time before it.
constexpr std::optional<std::uint64_t> file_time_to_unix_seconds(std::uint64_t file_time) {
    if (file_time < kUnixEpochAsFileTime)
        return std::nullopt;
    return (file_time - kUnixEpochAsFileTime) / kFileTimeUnitsPerSecond;
}

}  // namespace velnaro
