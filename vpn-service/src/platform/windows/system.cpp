#include "platform/windows/system.hpp"

#include <windows.h>
#include <bcrypt.h>

#include <thread>
#include <vector>

#include "platform/windows/wide.hpp"

namespace velnaro::platform {
namespace {

using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);

// ProcessPrng lives in bcryptprimitives.dll on current systems; older ones (and Wine) may
// lack it, and BCryptGenRandom with the system generator takes its place.
ProcessPrngFn resolve_process_prng() {
    HMODULE module = ::LoadLibraryExW(L"bcryptprimitives.dll", nullptr,
                                      LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<ProcessPrngFn>(
        reinterpret_cast<void*>(::GetProcAddress(module, "ProcessPrng")));
}

}  // namespace

std::optional<std::string> Win32System::environment_variable(std::string_view name) {
    auto wide_name = to_wide(name);
    if (!wide_name) return std::nullopt;
    DWORD needed = ::GetEnvironmentVariableW(wide_name->c_str(), nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::wstring value(needed, L'\0');
    DWORD length = ::GetEnvironmentVariableW(wide_name->c_str(), value.data(), needed);
    if (length == 0 || length >= needed) return std::nullopt;
    value.resize(length);
    return from_wide(value);
}

std::optional<std::string> Win32System::executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    while (true) {
        DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(),
                                            static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::nullopt;
        if (length < buffer.size()) {
            buffer.resize(length);
            return from_wide(buffer);
        }
        if (buffer.size() >= 32768) return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

bool Win32System::random_bytes(std::span<std::uint8_t> out) {
    static const ProcessPrngFn process_prng = resolve_process_prng();
    if (process_prng != nullptr) {
        return process_prng(out.data(), out.size()) != FALSE;
    }
    return BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG));
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
