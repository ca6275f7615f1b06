#include "platform/posix/system.hpp"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/file_time.hpp"

namespace velnaro::platform {

std::optional<std::string> PosixSystem::environment_variable(std::string_view name) {
    const std::string key(name);
    const char* value = std::getenv(key.c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

OsResult<std::string> PosixSystem::executable_path() {
    constexpr const char* kSelf = "/proc/self/exe";
    std::string buffer(PATH_MAX, '\0');
    const ssize_t length = ::readlink(kSelf, buffer.data(), buffer.size());
    if (length < 0)
        return std::unexpected(OsError{static_cast<std::uint32_t>(errno), "readlink", kSelf});
    if (length == 0 || static_cast<std::size_t>(length) >= buffer.size())
        return std::unexpected(OsError{ENAMETOOLONG, "readlink", kSelf});
    buffer.resize(static_cast<std::size_t>(length));
    return buffer;
}

OsResult<void> PosixSystem::random_bytes(std::span<std::uint8_t> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t got = ::getrandom(out.data() + filled, out.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(OsError{static_cast<std::uint32_t>(errno), "getrandom", ""});
        }
        filled += static_cast<std::size_t>(got);
    }
    return {};
}

std::uint64_t PosixSystem::system_time_100ns() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t units =
        static_cast<std::int64_t>(now.tv_sec) * std::int64_t{kFileTimeUnitsPerSecond} +
        now.tv_nsec / 100;
    if (units < -static_cast<std::int64_t>(kUnixEpochAsFileTime)) {
        return 0;
    }
    return kUnixEpochAsFileTime + static_cast<std::uint64_t>(units);
}

std::chrono::steady_clock::time_point PosixSystem::monotonic_now() {
    return std::chrono::steady_clock::now();
}

void PosixSystem::sleep_for(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

}  // namespace velnaro::platform
