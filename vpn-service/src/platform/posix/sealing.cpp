#include "platform/posix/sealing.hpp"

// Not implemented yet: every call fails.
namespace velnaro::platform {

std::optional<std::vector<std::uint8_t>> PosixSealing::protect(std::span<const std::uint8_t>,
                                                               std::u16string_view) {
    return {};
}
std::optional<OpenedBlob> PosixSealing::unprotect(std::span<const std::uint8_t>) { return {}; }

}  // namespace velnaro::platform
