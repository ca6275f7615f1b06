#include "platform/windows/sealing.hpp"

// windows.h first: the header after it relies on its declarations.
#include <windows.h>

#include <wincrypt.h>

#include <limits>

#include "platform/windows/owned_handle.hpp"
#include "platform/windows/system32.hpp"

namespace velnaro::platform {
namespace {

// A blob the data protection API allocated, wiped before it is released when it held
// plaintext.
struct ProtectedOutputPolicy {
    using Value = DATA_BLOB;
    bool wipe = false;
    static DATA_BLOB invalid() noexcept { return DATA_BLOB{0, nullptr}; }
    static bool is_valid(DATA_BLOB blob) noexcept { return blob.pbData != nullptr; }
    void close(DATA_BLOB blob) noexcept {
        if (wipe)
            ::SecureZeroMemory(blob.pbData, blob.cbData);
        ::LocalFree(blob.pbData);
    }
};
using ProtectedOutput = Owned<ProtectedOutputPolicy>;

bool fits_in_dword(std::size_t size) {
    return size <= std::numeric_limits<DWORD>::max();
}

DATA_BLOB input_of(std::span<const std::uint8_t> bytes) {
    return DATA_BLOB{static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
}

std::unexpected<OsError> failed(const char* operation, DWORD code = ::GetLastError()) {
    return std::unexpected(OsError{code, operation, ""});
}

using CryptProtectDataFn = decltype(&::CryptProtectData);
using CryptUnprotectDataFn = decltype(&::CryptUnprotectData);

}  // namespace

OsResult<std::vector<std::uint8_t>> Win32Sealing::protect(std::span<const std::uint8_t> secret,
                                                          std::u16string_view description) {
    // The description goes to the call zero-terminated; a zero inside would cut it short.
    if (!fits_in_dword(secret.size()) || description.find(u'\0') != std::u16string_view::npos)
        return failed("CryptProtectData", ERROR_INVALID_PARAMETER);
    const std::wstring text(description.begin(), description.end());
    DATA_BLOB input = input_of(secret);
    ProtectedOutput output(ProtectedOutputPolicy::invalid(), ProtectedOutputPolicy{false});
    static const auto protect_data =
        system32_function<CryptProtectDataFn>(L"crypt32.dll", "CryptProtectData");
    if (protect_data == nullptr)
        return failed("GetProcAddress");
    if (!protect_data(&input, text.c_str(), nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                      output.out()))
        return failed("CryptProtectData");
    if (!output)
        return failed("CryptProtectData", ERROR_INVALID_DATA);
    const DATA_BLOB sealed = output.get();
    return std::vector<std::uint8_t>(sealed.pbData, sealed.pbData + sealed.cbData);
}

OsResult<OpenedBlob> Win32Sealing::unprotect(std::span<const std::uint8_t> blob) {
    if (!fits_in_dword(blob.size()))
        return failed("CryptUnprotectData", ERROR_INVALID_PARAMETER);
    DATA_BLOB input = input_of(blob);
    ProtectedOutput output(ProtectedOutputPolicy::invalid(), ProtectedOutputPolicy{true});
    LocalMemory<LPWSTR> description;
    static const auto unprotect_data =
        system32_function<CryptUnprotectDataFn>(L"crypt32.dll", "CryptUnprotectData");
    if (unprotect_data == nullptr)
        return failed("GetProcAddress");
    if (!unprotect_data(&input, description.out(), nullptr, nullptr, nullptr,
                        CRYPTPROTECT_UI_FORBIDDEN, output.out()))
        return failed("CryptUnprotectData");
    if (!output)
        return failed("CryptUnprotectData", ERROR_INVALID_DATA);
    const DATA_BLOB opened_blob = output.get();
    OpenedBlob opened;
    opened.data.assign(opened_blob.pbData, opened_blob.pbData + opened_blob.cbData);
    if (description.get() != nullptr) {
        const std::wstring_view text(description.get());
        opened.description = std::u16string(text.begin(), text.end());
    }
    return opened;
}

}  // namespace velnaro::platform
