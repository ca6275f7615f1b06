#pragma once

#include <memory>

#include "platform/platform.hpp"

namespace velnaro::platform {

// The operating system's own implementation of every area, created once by the program
// entry (or a test) and passed down by reference. It lives in the library platform_service,
// with the sealing, loading, service control and journal that only the service's own
// programs use.
class NativePlatform {
public:
    NativePlatform();
    ~NativePlatform();
    NativePlatform(const NativePlatform&) = delete;
    NativePlatform& operator=(const NativePlatform&) = delete;

    Platform& get() { return *platform_; }

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
    std::unique_ptr<Platform> platform_;
};

// A client of the service (vpnctl): the files, the system and the pipes. Sealing, loading
// and service control are absent and refuse every call, so a client links none of them.
class NativeClientPlatform {
public:
    NativeClientPlatform();
    ~NativeClientPlatform();
    NativeClientPlatform(const NativeClientPlatform&) = delete;
    NativeClientPlatform& operator=(const NativeClientPlatform&) = delete;

    Platform& get() { return *platform_; }

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
    std::unique_ptr<Platform> platform_;
};

}  // namespace velnaro::platform
