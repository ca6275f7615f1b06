#pragma once

#include "fake/faults.hpp"
#include "platform/sealing.hpp"

namespace velnaro::fake {

// A transparent envelope: "FAKESEAL", the description length and text, the data with every
// byte inverted, then a 32-bit check of all of it. Not secret, but, as with the systems'
// sealing, any change to a blob makes it unreadable.
class FakeSealing final : public platform::Sealing {
  public:
    explicit FakeSealing(Faults& faults) : faults_(faults) {}

    platform::OsResult<std::vector<std::uint8_t>> protect(std::span<const std::uint8_t> secret,
                                                          std::u16string_view description) override;
    platform::OsResult<platform::OpenedBlob> unprotect(std::span<const std::uint8_t> blob) override;

    // When set, opened blobs come back without a description.
    bool drop_description = false;

  private:
    Faults& faults_;
};

}  // namespace velnaro::fake
