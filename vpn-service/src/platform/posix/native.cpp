#include "platform/native.hpp"

#include "platform/posix/file_system.hpp"
#include "platform/posix/journal_log.hpp"
#include "platform/posix/loader.hpp"
#include "platform/posix/pipes.hpp"
#include "platform/posix/sealing.hpp"
#include "platform/posix/service_host.hpp"
#include "platform/posix/system.hpp"
#include "platform/posix/range_guard.hpp"
#include "platform/posix/systemd/systemd_service_control.hpp"

namespace velnaro::platform {

struct NativePlatform::Parts {
    PosixFileSystem files;
    PosixSystem system;
    PosixSealing sealing;
    PosixLoader loader;
    SystemdServiceControl services;
    JournalLog log;
    PosixPipes pipes{std::string(kAdmittedGroup), log};
    PosixServiceHost host;
    PosixRangeGuard ranges{range_record_path()};
};

NativePlatform::NativePlatform()
    : parts_(std::make_unique<Parts>()),
      platform_(std::make_unique<Platform>(Platform{parts_->files, parts_->system, parts_->sealing,
                                                    parts_->loader, parts_->services, parts_->pipes,
                                                    parts_->host, parts_->log,
                                                    parts_->ranges})) {}

NativePlatform::~NativePlatform() = default;

}  // namespace velnaro::platform
