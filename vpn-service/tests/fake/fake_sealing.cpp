#include "fake/fake_sealing.hpp"

#include <algorithm>
#include <string_view>

#include "fake/fake_error.hpp"

namespace velnaro::fake {
namespace {
constexpr std::string_view kMagic = "FAKESEAL";
// ERROR_INVALID_DATA, as the data protection API answers a blob it cannot read.
constexpr std::uint32_t kInvalidData = 13;
}  // namespace

platform::OsResult<std::vector<std::uint8_t>> FakeSealing::protect(
    std::span<const std::uint8_t> secret, std::u16string_view description) {
    if (faults_.should_fail("protect"))
        return fake_error("protect");
    std::vector<std::uint8_t> blob(kMagic.begin(), kMagic.end());
    blob.push_back(static_cast<std::uint8_t>(description.size()));
    for (char16_t c : description) {
        blob.push_back(static_cast<std::uint8_t>(c & 0xFF));
        blob.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    for (std::uint8_t b : secret) blob.push_back(static_cast<std::uint8_t>(~b));
    return blob;
}

platform::OsResult<platform::OpenedBlob> FakeSealing::unprotect(
    std::span<const std::uint8_t> blob) {
    if (faults_.should_fail("unprotect"))
        return fake_error("unprotect");
    if (blob.size() < kMagic.size() + 1 || !std::equal(kMagic.begin(), kMagic.end(), blob.begin())) {
        return fake_error("unprotect", {}, kInvalidData);
    }
    const std::size_t length = blob[kMagic.size()];
    std::size_t at = kMagic.size() + 1;
    if (blob.size() < at + 2 * length)
        return fake_error("unprotect", {}, kInvalidData);
    std::u16string description;
    for (std::size_t i = 0; i < length; ++i, at += 2) {
        description.push_back(static_cast<char16_t>(blob[at] | (blob[at + 1] << 8)));
    }
    platform::OpenedBlob opened;
    for (; at < blob.size(); ++at) opened.data.push_back(static_cast<std::uint8_t>(~blob[at]));
    if (!drop_description) opened.description = std::move(description);
    return opened;
}

}  // namespace velnaro::fake
