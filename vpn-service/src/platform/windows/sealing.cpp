#include "platform/windows/sealing.hpp"

// windows.h first: the header after it relies on its declarations.
#include <windows.h>

#include <wincrypt.h>

#include <limits>

#include "platform/windows/owned_handle.hpp"
#include "platform/windows/system32.hpp"

namespace velnaro::platform {
namespace {

// Releases a blob the data protection API allocated, wiping it first when it held plaintext.
class ProtectedOutput {
  public:
    explicit ProtectedOutput(bool wipe) : wipe_(wipe) {}
    ProtectedOutput(const ProtectedOutput&) = delete;
    ProtectedOutput& operator=(const ProtectedOutput&) = delete;
    ~ProtectedOutput() {
        if (blob.pbData == nullptr)
            return;
        if (wipe_)
            ::SecureZeroMemory(blob.pbData, blob.cbData);
        ::LocalFree(blob.pbData);
    }
    DATA_BLOB blob{};

  private:
    bool wipe_;
};

bool fits_in_dword(std::size_t size) {
    return size <= std::numeric_limits<DWORD>::max();
}

DATA_BLOB input_of(std::span<const std::uint8_t> bytes) {
    return DATA_BLOB{static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
}

using CryptProtectDataFn = decltype(&::CryptProtectData);
using CryptUnprotectDataFn = decltype(&::CryptUnprotectData);

}  // namespace

std::optional<std::vector<std::uint8_t>> Win32Sealing::protect(std::span<const std::uint8_t> secret,
                                                               std::u16string_view description) {
    // The description goes to the call zero-terminated; a zero inside would cut it short.
    if (!fits_in_dword(secret.size()) || description.find(u'\0') != std::u16string_view::npos) {
        return std::nullopt;
    }
    const std::wstring text(description.begin(), description.end());
    DATA_BLOB input = input_of(secret);
    ProtectedOutput output(false);
    static const auto protect_data =
        system32_function<CryptProtectDataFn>(L"crypt32.dll", "CryptProtectData");
    if (protect_data == nullptr)
        return std::nullopt;
    if (!protect_data(&input, text.c_str(), nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                      &output.blob) ||
        output.blob.pbData == nullptr) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(output.blob.pbData, output.blob.pbData + output.blob.cbData);
}

std::optional<OpenedBlob> Win32Sealing::unprotect(std::span<const std::uint8_t> blob) {
    if (!fits_in_dword(blob.size()))
        return std::nullopt;
    DATA_BLOB input = input_of(blob);
    ProtectedOutput output(true);
    LocalMemory<LPWSTR> description;
    static const auto unprotect_data =
        system32_function<CryptUnprotectDataFn>(L"crypt32.dll", "CryptUnprotectData");
    if (unprotect_data == nullptr)
        return std::nullopt;
    if (!unprotect_data(&input, description.out(), nullptr, nullptr, nullptr,
                        CRYPTPROTECT_UI_FORBIDDEN, &output.blob) ||
        output.blob.pbData == nullptr) {
        return std::nullopt;
    }
    OpenedBlob opened;
    opened.data.assign(output.blob.pbData, output.blob.pbData + output.blob.cbData);
    if (description.get() != nullptr) {
        const std::wstring_view text(description.get());
        opened.description = std::u16string(text.begin(), text.end());
    }
    return opened;
}

}  // namespace velnaro::platform
