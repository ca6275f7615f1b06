#include "platform/native.hpp"

#include "platform/windows/file_system.hpp"
#include "platform/windows/loader.hpp"
#include "platform/windows/pipes.hpp"
#include "platform/windows/range_guard.hpp"
#include "platform/windows/sealing.hpp"
#include "platform/windows/service_control.hpp"
#include "platform/windows/service_host.hpp"
#include "platform/windows/system.hpp"

namespace velnaro::platform {

struct NativePlatform::Parts {
    Win32FileSystem files;
    Win32System system;
    Win32Sealing sealing;
    Win32Loader loader;
    Win32ServiceControl services;
    Win32Pipes pipes;
    Win32ServiceHost host;
    Win32RangeGuard ranges;
};

NativePlatform::NativePlatform()
    : parts_(std::make_unique<Parts>()),
      platform_(std::make_unique<Platform>(Platform{parts_->files, parts_->system, parts_->sealing,
                                                    parts_->loader, parts_->services, parts_->pipes,
                                                    parts_->host, silent_log(),
                                                    parts_->ranges})) {}

NativePlatform::~NativePlatform() = default;

}  // namespace velnaro::platform
