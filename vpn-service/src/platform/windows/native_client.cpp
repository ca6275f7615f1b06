#include "platform/native.hpp"

#include "platform/windows/file_system.hpp"
#include "platform/windows/pipes.hpp"
#include "platform/windows/range_guard.hpp"
#include "platform/windows/system.hpp"

namespace velnaro::platform {

struct NativeClientPlatform::Parts {
    Win32FileSystem files;
    Win32System system;
    Win32Pipes pipes;
    // vpnctl tells from the service's filters whether the tunnel's ranges are held closed.
    Win32RangeGuard ranges;
};

NativeClientPlatform::NativeClientPlatform()
    : parts_(std::make_unique<Parts>()),
      platform_(std::make_unique<Platform>(Platform{parts_->files, parts_->system, absent_sealing(),
                                                    absent_loader(), absent_service_control(),
                                                    parts_->pipes, absent_service_host(),
                                                    silent_log(), parts_->ranges})) {}

NativeClientPlatform::~NativeClientPlatform() = default;

}  // namespace velnaro::platform
