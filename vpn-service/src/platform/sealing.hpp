#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/secret_buffer.hpp"
#include "platform/os_error.hpp"

namespace velnaro::platform {

struct OpenedBlob {
    SecretBuffer data;
    // The description stored in the blob; nothing when the blob carries none.
    std::optional<std::u16string> description;
};

// Sealing bound to the current account (Windows: DPAPI without the machine flag;
// Linux: the libsodium envelope with the account's key).
class Sealing {
  public:
    virtual ~Sealing() = default;

    virtual OsResult<std::vector<std::uint8_t>> protect(std::span<const std::uint8_t> secret,
                                                        std::u16string_view description) = 0;
    // A blob that is not ours, altered, or sealed for another account fails.
    virtual OsResult<OpenedBlob> unprotect(std::span<const std::uint8_t> blob) = 0;
};

}  // namespace velnaro::platform
