#pragma once

#include <windows.h>

#include "core/owned.hpp"

namespace velnaro::platform {

struct KernelHandlePolicy {
    using Value = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool is_valid(HANDLE handle) noexcept {
        return handle != INVALID_HANDLE_VALUE && handle != nullptr;
    }
    void close(HANDLE handle) noexcept { ::CloseHandle(handle); }
};

// Owns one kernel handle (file, directory) and closes it when it goes out of scope.
using OwnedHandle = Owned<KernelHandlePolicy>;

struct FindHandlePolicy {
    using Value = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool is_valid(HANDLE handle) noexcept { return handle != INVALID_HANDLE_VALUE; }
    void close(HANDLE handle) noexcept { ::FindClose(handle); }
};

// A search handle of FindFirstFileExW, closed with FindClose.
using FindHandle = Owned<FindHandlePolicy>;

template <class T>
struct LocalFreePolicy {
    using Value = T;
    static T invalid() noexcept { return nullptr; }
    static bool is_valid(T pointer) noexcept { return pointer != nullptr; }
    void close(T pointer) noexcept { ::LocalFree(reinterpret_cast<HLOCAL>(pointer)); }
};

// Memory the system allocated for the caller and that is released with LocalFree; calls
// fill it through out().
template <class T>
using LocalMemory = Owned<LocalFreePolicy<T>>;

}  // namespace velnaro::platform
