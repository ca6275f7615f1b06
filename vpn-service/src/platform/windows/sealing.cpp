#include "platform/windows/sealing.hpp"

// Not implemented yet: every call fails.
namespace velnaro::platform {

std::optional<std::vector<std::uint8_t>> Win32Sealing::protect(std::span<const std::uint8_t>,
                                                               std::u16string_view) {
    return {};
}
std::optional<OpenedBlob> Win32Sealing::unprotect(std::span<const std::uint8_t>) { return {}; }

}  // namespace velnaro::platform
