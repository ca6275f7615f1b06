#include "platform/windows/system.hpp"

// windows.h first: the header after it relies on its declarations.
#include <windows.h>

#include <bcrypt.h>

#include <thread>
#include <vector>

#include "platform/windows/system32.hpp"
#include "platform/windows/wide.hpp"

namespace velnaro::platform {
namespace {

using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);
using BCryptGenRandomFn = decltype(&::BCryptGenRandom);

// ProcessPrng lives in bcryptprimitives.dll on current systems; older ones (and Wine) may
// lack it, and BCryptGenRandom with the system generator takes its place.
ProcessPrngFn resolve_process_prng() {
    return system32_function<ProcessPrngFn>(L"bcryptprimitives.dll", "ProcessPrng");
}

// "\\?\C:\dir" becomes "C:\dir" and "\\?\UNC\server\share" becomes "\\server\share";
// anything else (a volume GUID path) stays as it is.
std::wstring without_long_prefix(std::wstring path) {
    if (path.starts_with(LR"(\\?\UNC\)"))
        return LR"(\\)" + path.substr(8);
    if (path.size() >= 7 && path.starts_with(LR"(\\?\)") && path[5] == L':' && path[6] == L'\\')
        return path.substr(4);
    return path;
}

// The final path of a file: through SUBST drives, links and junctions to the volume's own
// path, which the local system account sees as well as the user who started the process.
std::optional<std::wstring> final_path_of(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::wstring final_path(MAX_PATH, L'\0');
    DWORD length =
        ::GetFinalPathNameByHandleW(file, final_path.data(), static_cast<DWORD>(final_path.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length >= final_path.size()) {
        final_path.assign(length, L'\0');
        length = ::GetFinalPathNameByHandleW(file, final_path.data(), length,
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    ::CloseHandle(file);
    if (length == 0 || length >= final_path.size())
        return std::nullopt;
    final_path.resize(length);
    return without_long_prefix(std::move(final_path));
}

}  // namespace

std::optional<std::string> Win32System::environment_variable(std::string_view name) {
    auto wide_name = to_wide(name);
    if (!wide_name)
        return std::nullopt;
    DWORD needed = ::GetEnvironmentVariableW(wide_name->c_str(), nullptr, 0);
    if (needed == 0)
        return std::nullopt;
    std::wstring value(needed, L'\0');
    DWORD length = ::GetEnvironmentVariableW(wide_name->c_str(), value.data(), needed);
    if (length == 0 || length >= needed)
        return std::nullopt;
    value.resize(length);
    return from_wide(value);
}

OsResult<std::string> Win32System::executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    while (true) {
        DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return std::unexpected(OsError{::GetLastError(), "GetModuleFileNameW", ""});
        if (length < buffer.size()) {
            buffer.resize(length);
            // The registrations carry this path; a SUBST or mapped drive of the installing
            // user would mean nothing to the service manager.
            return from_wide(final_path_of(buffer).value_or(buffer));
        }
        if (buffer.size() >= 32768)
            return std::unexpected(OsError{ERROR_INSUFFICIENT_BUFFER, "GetModuleFileNameW", ""});
        buffer.resize(buffer.size() * 2);
    }
}

OsResult<void> Win32System::random_bytes(std::span<std::uint8_t> out) {
    // BCryptGenRandom refuses a null buffer; an empty one needs nothing.
    if (out.empty())
        return {};
    static const ProcessPrngFn process_prng = resolve_process_prng();
    if (process_prng != nullptr) {
        // Documented never to fail; a FALSE would still be reported.
        if (!process_prng(out.data(), out.size()))
            return std::unexpected(OsError{ERROR_GEN_FAILURE, "ProcessPrng", ""});
        return {};
    }
    static const auto gen_random =
        system32_function<BCryptGenRandomFn>(L"bcrypt.dll", "BCryptGenRandom");
    if (gen_random == nullptr)
        return std::unexpected(OsError{::GetLastError(), "GetProcAddress", "BCryptGenRandom"});
    // A ULONG takes at most 4 GiB; asking for more would silently fill less.
    if (out.size() > 0xFFFFFFFFu)
        return std::unexpected(OsError{ERROR_INVALID_PARAMETER, "BCryptGenRandom", ""});
    const NTSTATUS status = gen_random(nullptr, out.data(), static_cast<ULONG>(out.size()),
                                       BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status))
        return std::unexpected(OsError{static_cast<std::uint32_t>(status), "BCryptGenRandom", ""});
    return {};
}

std::uint64_t Win32System::system_time_100ns() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::chrono::steady_clock::time_point Win32System::monotonic_now() {
    return std::chrono::steady_clock::now();
}

void Win32System::sleep_for(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

}  // namespace velnaro::platform
