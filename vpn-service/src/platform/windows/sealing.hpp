#pragma once

#include "platform/sealing.hpp"

namespace velnaro::platform {

class Win32Sealing final : public Sealing {
  public:
    OsResult<std::vector<std::uint8_t>> protect(std::span<const std::uint8_t> secret,
                                                std::u16string_view description) override;
    OsResult<OpenedBlob> unprotect(std::span<const std::uint8_t> blob) override;
};

}  // namespace velnaro::platform
