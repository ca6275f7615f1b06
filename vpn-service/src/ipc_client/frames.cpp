#include "ipc_client/frames.hpp"

#include <array>

namespace velnaro {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds remaining(platform::Platform& platform, Clock::time_point deadline) {
    const auto now = platform.system.monotonic_now();
    if (now >= deadline)
        return std::chrono::milliseconds(0);
    // Rounded up, so a wait never ends a fraction of a millisecond before the deadline.
    return std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
}

TransferEnd end_of(platform::PipeIoStatus status) {
    switch (status) {
        case platform::PipeIoStatus::done:
            return TransferEnd::complete;
        case platform::PipeIoStatus::closed:
            return TransferEnd::closed;
        case platform::PipeIoStatus::timed_out:
            return TransferEnd::timed_out;
        case platform::PipeIoStatus::failed:
            break;
    }
    return TransferEnd::failed;
}

template <class Span, class Move>
TransferEnd transfer(platform::Platform& platform, Span data, Clock::time_point deadline,
                     Move move) {
    std::size_t done = 0;
    while (done < data.size()) {
        const auto left = remaining(platform, deadline);
        if (left.count() == 0)
            return TransferEnd::timed_out;
        const platform::PipeIo io = move(data.subspan(done), left);
        if (io.status == platform::PipeIoStatus::timed_out)
            continue;
        if (io.status != platform::PipeIoStatus::done || io.bytes == 0) {
            return io.status == platform::PipeIoStatus::done ? TransferEnd::failed
                                                             : end_of(io.status);
        }
        done += io.bytes;
    }
    return TransferEnd::complete;
}

}  // namespace

std::array<std::uint8_t, kFrameHeaderBytes> frame_header(std::uint32_t body_size) {
    return {static_cast<std::uint8_t>(body_size), static_cast<std::uint8_t>(body_size >> 8),
            static_cast<std::uint8_t>(body_size >> 16), static_cast<std::uint8_t>(body_size >> 24)};
}

std::uint32_t frame_body_size(std::span<const std::uint8_t, kFrameHeaderBytes> header) {
    return static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
           static_cast<std::uint32_t>(header[2]) << 16 |
           static_cast<std::uint32_t>(header[3]) << 24;
}

TransferEnd read_exact(platform::Platform& platform, platform::PipeConnection& pipe,
                       std::span<std::uint8_t> buffer, Clock::time_point deadline) {
    return transfer(platform, buffer, deadline,
                    [&](std::span<std::uint8_t> rest, auto left) { return pipe.read(rest, left); });
}

TransferEnd write_all(platform::Platform& platform, platform::PipeConnection& pipe,
                      std::span<const std::uint8_t> data, Clock::time_point deadline) {
    return transfer(platform, data, deadline, [&](std::span<const std::uint8_t> rest, auto left) {
        return pipe.write(rest, left);
    });
}

}  // namespace velnaro
