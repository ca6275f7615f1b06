#include "protected_storage/sealed_blob.hpp"

#include <algorithm>

#include "core/utf.hpp"

namespace velnaro {
namespace {

constexpr std::size_t kMaxSecretBytes = 4096;
constexpr std::size_t kMaxBlobBytes = 16384;
constexpr std::size_t kMaxDescriptionBytes = 128;
constexpr std::string_view kSelfTestPlaintext = "velnaro-dpapi-self-test";

// The limit counts UTF-8 bytes, so a short text of wide characters can still be too long.
// A description the platform cannot take as zero-terminated UTF-16 is refused the same way.
std::optional<std::u16string> description_for_platform(std::string_view description) {
    if (description.empty() || description.size() > kMaxDescriptionBytes)
        return std::nullopt;
    return to_platform_text(description);
}

}  // namespace

Outcome<std::vector<std::uint8_t>> seal_secret(platform::Platform& platform,
                                              std::span<const std::uint8_t> secret,
                                              std::string_view description) {
    if (secret.empty() || secret.size() > kMaxSecretBytes) {
        return fail(DetailCode::IDENTITY_SECRET_SIZE_INVALID);
    }
    const auto wide_description = description_for_platform(description);
    if (!wide_description)
        return fail(DetailCode::DPAPI_DESCRIPTION_INVALID);
    auto blob = platform.sealing.protect(secret, *wide_description);
    if (!blob)
        return fail(DetailCode::DPAPI_PROTECT_FAILED, std::move(blob.error()));
    return std::move(*blob);
}

Outcome<SecretBuffer> open_sealed_secret(platform::Platform& platform,
                                        std::span<const std::uint8_t> blob,
                                        std::string_view expected_description) {
    if (blob.empty() || blob.size() > kMaxBlobBytes) {
        return fail(DetailCode::IDENTITY_PROTECTED_SIZE_INVALID);
    }
    if (!description_for_platform(expected_description)) {
        return fail(DetailCode::DPAPI_DESCRIPTION_INVALID);
    }
    // The opened bytes live in a wiping buffer, so returning early on a refused
    // description releases the plaintext without leaving a copy behind.
    auto opened = platform.sealing.unprotect(blob);
    if (!opened)
        return fail(DetailCode::DPAPI_UNPROTECT_FAILED, std::move(opened.error()));
    if (!opened->description)
        return fail(DetailCode::DPAPI_DESCRIPTION_MISSING);
    if (from_platform_text(*opened->description) != expected_description) {
        return fail(DetailCode::DPAPI_DESCRIPTION_MISMATCH);
    }
    return std::move(opened->data);
}

Outcome<void> sealing_self_test(platform::Platform& platform) {
    SecretBuffer plaintext;
    append_text(plaintext, kSelfTestPlaintext);
    const auto blob = seal_secret(platform, plaintext, kIdentityDescription);
    if (!blob)
        return fail(blob.error());
    const auto opened = open_sealed_secret(platform, *blob, kIdentityDescription);
    if (!opened)
        return fail(opened.error());
    if (!std::ranges::equal(*opened, plaintext))
        return fail(DetailCode::DPAPI_ROUNDTRIP_FAILED);
    return {};
}

}  // namespace velnaro
