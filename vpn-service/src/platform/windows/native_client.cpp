#include "platform/native.hpp"

#include "platform/windows/file_system.hpp"
#include "platform/windows/pipes.hpp"
#include "platform/windows/system.hpp"

namespace velnaro::platform {

struct NativeClientPlatform::Parts {
    Win32FileSystem files;
    Win32System system;
    Win32Pipes pipes;
};

NativeClientPlatform::NativeClientPlatform()
    : parts_(std::make_unique<Parts>()),
      platform_(std::make_unique<Platform>(Platform{parts_->files, parts_->system, absent_sealing(),
                                                    absent_loader(), absent_service_control(),
                                                    parts_->pipes})) {}

NativeClientPlatform::~NativeClientPlatform() = default;

}  // namespace velnaro::platform
