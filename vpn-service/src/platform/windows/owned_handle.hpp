#pragma once

#include <windows.h>

#include <utility>

namespace velnaro::platform {

// Owns one kernel handle (file, directory) and closes it when it goes out of scope.
class OwnedHandle {
  public:
    OwnedHandle() noexcept = default;
    explicit OwnedHandle(HANDLE handle) noexcept : handle_(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    OwnedHandle(OwnedHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.handle_, INVALID_HANDLE_VALUE));
        return *this;
    }
    ~OwnedHandle() { reset(); }

    HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept {
        return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr;
    }
    HANDLE release() noexcept { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) noexcept {
        if (*this)
            ::CloseHandle(handle_);
        handle_ = handle;
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A search handle of FindFirstFileExW, closed with FindClose.
class FindHandle {
  public:
    explicit FindHandle(HANDLE handle) noexcept : handle_(handle) {}
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    ~FindHandle() {
        if (*this)
            ::FindClose(handle_);
    }
    HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

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
