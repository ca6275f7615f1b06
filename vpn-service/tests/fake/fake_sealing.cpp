#include "fake/fake_sealing.hpp"

#include <algorithm>
#include <string_view>

#include "fake/fake_error.hpp"

namespace velnaro::fake {
namespace {
constexpr std::string_view kMagic = "FAKESEAL";
// ERROR_INVALID_DATA and ERROR_INVALID_PARAMETER, as the data protection API answers.
constexpr std::uint32_t kInvalidData = 13;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::size_t kCheckSize = 4;

// FNV-1a: any single changed byte changes it.
std::uint32_t check_of(std::span<const std::uint8_t> bytes) {
    std::uint32_t hash = 2166136261u;
    for (std::uint8_t b : bytes)
        hash = (hash ^ b) * 16777619u;
    return hash;
}

}  // namespace

platform::OsResult<std::vector<std::uint8_t>> FakeSealing::protect(
    std::span<const std::uint8_t> secret, std::u16string_view description) {
    if (faults_.should_fail("protect"))
        return fake_error("protect");
    // The systems take the description zero-terminated.
    if (description.find(u'\0') != std::u16string_view::npos)
        return fake_error("protect", {}, kInvalidParameter);
    std::vector<std::uint8_t> blob(kMagic.begin(), kMagic.end());
    blob.push_back(static_cast<std::uint8_t>(description.size()));
    for (char16_t c : description) {
        blob.push_back(static_cast<std::uint8_t>(c & 0xFF));
        blob.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    for (std::uint8_t b : secret)
        blob.push_back(static_cast<std::uint8_t>(~b));
    const std::uint32_t check = check_of(blob);
    for (std::size_t i = 0; i < kCheckSize; ++i)
        blob.push_back(static_cast<std::uint8_t>(check >> (8 * i)));
    return blob;
}

platform::OsResult<platform::OpenedBlob> FakeSealing::unprotect(
    std::span<const std::uint8_t> blob) {
    if (faults_.should_fail("unprotect"))
        return fake_error("unprotect");
    if (blob.size() < kMagic.size() + 1 + kCheckSize ||
        !std::equal(kMagic.begin(), kMagic.end(), blob.begin())) {
        return fake_error("unprotect", {}, kInvalidData);
    }
    std::uint32_t check = 0;
    for (std::size_t i = 0; i < kCheckSize; ++i)
        check |= static_cast<std::uint32_t>(blob[blob.size() - kCheckSize + i]) << (8 * i);
    blob = blob.first(blob.size() - kCheckSize);
    if (check_of(blob) != check)
        return fake_error("unprotect", {}, kInvalidData);
    const std::size_t length = blob[kMagic.size()];
    std::size_t at = kMagic.size() + 1;
    if (blob.size() < at + 2 * length)
        return fake_error("unprotect", {}, kInvalidData);
    std::u16string description;
    for (std::size_t i = 0; i < length; ++i, at += 2) {
        description.push_back(static_cast<char16_t>(blob[at] | (blob[at + 1] << 8)));
    }
    platform::OpenedBlob opened;
    for (; at < blob.size(); ++at)
        opened.data.push_back(static_cast<std::uint8_t>(~blob[at]));
    if (!drop_description)
        opened.description = std::move(description);
    return opened;
}

}  // namespace velnaro::fake
