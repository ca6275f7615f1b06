#pragma once

#include <unistd.h>

#include "core/owned.hpp"

namespace velnaro::platform {

struct FdPolicy {
    using Value = int;
    static int invalid() noexcept { return -1; }
    static bool is_valid(int fd) noexcept { return fd >= 0; }
    // close() is not retried on EINTR: on Linux the descriptor is gone either way.
    void close(int fd) noexcept { ::close(fd); }
};

// Owns one file descriptor and closes it when it goes out of scope.
using OwnedFd = Owned<FdPolicy>;

}  // namespace velnaro::platform
