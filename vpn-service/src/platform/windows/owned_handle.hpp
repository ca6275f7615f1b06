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

// Memory the system allocated for the caller and that is released with LocalFree.
template <class T>
class LocalMemory {
  public:
    LocalMemory() noexcept = default;
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    ~LocalMemory() {
        if (pointer_ != nullptr)
            ::LocalFree(reinterpret_cast<HLOCAL>(pointer_));
    }
    T get() const noexcept { return pointer_; }
    T* out() noexcept { return &pointer_; }

  private:
    T pointer_ = nullptr;
};

}  // namespace velnaro::platform
