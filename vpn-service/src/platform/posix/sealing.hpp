#pragma once

#include "platform/sealing.hpp"

namespace velnaro::platform {

class PosixSealing final : public Sealing {
public:
    std::optional<std::vector<std::uint8_t>> protect(std::span<const std::uint8_t> secret,
                                                     std::u16string_view description) override;
    std::optional<OpenedBlob> unprotect(std::span<const std::uint8_t> blob) override;
};

}  // namespace velnaro::platform
