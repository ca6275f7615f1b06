#pragma once

#include <memory>

#include "platform/platform.hpp"

namespace velnaro::platform {

// The operating system's own implementation of every area, created once by the program
// entry (or a test) and passed down by reference.
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

}  // namespace velnaro::platform
