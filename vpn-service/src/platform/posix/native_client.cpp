#include "platform/native.hpp"

#include "platform/posix/file_system.hpp"
#include "platform/posix/pipes.hpp"
#include "platform/posix/system.hpp"
#include "platform/posix/tunnel_routing.hpp"

namespace velnaro::platform {

struct NativeClientPlatform::Parts {
    PosixFileSystem files;
    PosixSystem system;
    PosixPipes pipes;
    // vpnctl tells from the routing rules whether the tunnel's ranges are held closed.
    PosixRangeReader ranges;
};

NativeClientPlatform::NativeClientPlatform()
    : parts_(std::make_unique<Parts>()),
      platform_(std::make_unique<Platform>(Platform{parts_->files, parts_->system, absent_sealing(),
                                                    absent_loader(), absent_service_control(),
                                                    parts_->pipes, absent_service_host(),
                                                    silent_log(), parts_->ranges})) {}

NativeClientPlatform::~NativeClientPlatform() = default;

}  // namespace velnaro::platform
