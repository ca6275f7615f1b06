#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>

namespace velnaro::platform {

// Moves every byte of `bytes` through `call` (read or write), going on after partial
// transfers and interruptions. False on an error, or when the descriptor ends (or takes
// nothing) before the last byte; errno then says why, 0 for an early end.
template <class Byte, class Call>
bool transfer_exactly(int fd, std::span<Byte> bytes, Call call) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t moved = call(fd, bytes.data() + done, bytes.size() - done);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0) {
            if (moved == 0)
                errno = 0;
            return false;
        }
        done += static_cast<std::size_t>(moved);
    }
    return true;
}

inline bool read_exactly(int fd, std::span<std::uint8_t> out) {
    return transfer_exactly(fd, out, ::read);
}

inline bool write_exactly(int fd, std::span<const std::uint8_t> data) {
    return transfer_exactly(fd, data, ::write);
}

}  // namespace velnaro::platform
