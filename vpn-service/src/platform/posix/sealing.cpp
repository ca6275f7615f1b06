#include "platform/posix/sealing.hpp"

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "core/utf.hpp"
#include "platform/posix/sealing_key.hpp"

// Blob layout: magic, format version, description length (u16 little-endian), the
// description in UTF-8, the nonce, then the ciphertext with its tag. Everything before the
// ciphertext is authenticated as associated data, so the description cannot be swapped.
namespace velnaro::platform {
namespace {

constexpr std::string_view kMagic = "VLSEAL";
constexpr std::uint8_t kFormatVersion = 1;
constexpr std::size_t kNonceSize = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr std::size_t kTagSize = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr std::size_t kFixedHeaderSize = kMagic.size() + 1 + 2;

static_assert(kSealingKeySize == crypto_aead_xchacha20poly1305_ietf_KEYBYTES);

struct ParsedBlob {
    std::string_view description;
    std::span<const std::uint8_t> associated_data;  // header, description and nonce
    const std::uint8_t* nonce = nullptr;
    std::span<const std::uint8_t> ciphertext;
};

std::optional<ParsedBlob> parse_blob(std::span<const std::uint8_t> blob) {
    if (blob.size() < kFixedHeaderSize || !std::equal(kMagic.begin(), kMagic.end(), blob.begin()) ||
        blob[kMagic.size()] != kFormatVersion) {
        return std::nullopt;
    }
    const std::size_t length = blob[kMagic.size() + 1] | (blob[kMagic.size() + 2] << 8);
    const std::size_t header_size = kFixedHeaderSize + length + kNonceSize;
    if (blob.size() < header_size + kTagSize)
        return std::nullopt;
    ParsedBlob parsed;
    parsed.description = {reinterpret_cast<const char*>(blob.data() + kFixedHeaderSize), length};
    parsed.nonce = blob.data() + kFixedHeaderSize + length;
    parsed.associated_data = blob.first(header_size);
    parsed.ciphertext = blob.subspan(header_size);
    return parsed;
}

std::unexpected<OsError> refused(const char* operation, int code) {
    return std::unexpected(OsError{static_cast<std::uint32_t>(code), operation, ""});
}

}  // namespace

PosixSealing::PosixSealing(SealingKeyLocation location) : location_(std::move(location)) {}

OsResult<std::vector<std::uint8_t>> PosixSealing::protect(std::span<const std::uint8_t> secret,
                                                          std::u16string_view description) {
    // A zero character would end the description on the other platform; refuse it here too.
    if (description.find(u'\0') != std::u16string_view::npos)
        return refused("protect", EINVAL);
    const std::string text = from_platform_text(description);
    if (text.size() > 0xFFFF)
        return refused("protect", EINVAL);

    SealingKey key;
    if (auto derived = derive_sealing_key(location_, key); !derived)
        return std::unexpected(derived.error());

    std::vector<std::uint8_t> blob(kMagic.begin(), kMagic.end());
    blob.push_back(kFormatVersion);
    blob.push_back(static_cast<std::uint8_t>(text.size() & 0xFF));
    blob.push_back(static_cast<std::uint8_t>(text.size() >> 8));
    blob.insert(blob.end(), text.begin(), text.end());
    const std::size_t nonce_at = blob.size();
    blob.resize(nonce_at + kNonceSize + secret.size() + kTagSize);
    randombytes_buf(blob.data() + nonce_at, kNonceSize);
    const std::size_t header_size = nonce_at + kNonceSize;

    unsigned long long sealed_size = 0;
    const int rc = crypto_aead_xchacha20poly1305_ietf_encrypt(
        blob.data() + header_size, &sealed_size, secret.data(), secret.size(), blob.data(),
        header_size, nullptr, blob.data() + nonce_at, key.data());
    if (rc != 0 || sealed_size != secret.size() + kTagSize)
        return refused("crypto_aead_xchacha20poly1305_ietf_encrypt", EIO);
    return blob;
}

// A blob that is not ours, or does not open under this account's key, is EBADMSG.
OsResult<OpenedBlob> PosixSealing::unprotect(std::span<const std::uint8_t> blob) {
    auto parsed = parse_blob(blob);
    if (!parsed || !is_valid_utf8(parsed->description))
        return refused("unprotect", EBADMSG);

    SealingKey key;
    if (auto derived = derive_sealing_key(location_, key); !derived)
        return std::unexpected(derived.error());

    OpenedBlob opened;
    opened.data.resize(parsed->ciphertext.size() - kTagSize);
    unsigned long long opened_size = 0;
    const int rc = crypto_aead_xchacha20poly1305_ietf_decrypt(
        opened.data.data(), &opened_size, nullptr, parsed->ciphertext.data(),
        parsed->ciphertext.size(), parsed->associated_data.data(), parsed->associated_data.size(),
        parsed->nonce, key.data());
    if (rc != 0 || opened_size != opened.data.size())
        return refused("crypto_aead_xchacha20poly1305_ietf_decrypt", EBADMSG);

    auto description = to_platform_text(parsed->description);
    if (!description)
        return refused("unprotect", EBADMSG);
    opened.description = std::move(*description);
    return opened;
}

}  // namespace velnaro::platform
