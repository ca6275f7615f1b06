#pragma once

#include "platform/file_system.hpp"
#include "platform/loader.hpp"
#include "platform/log.hpp"
#include "platform/pipes.hpp"
#include "platform/sealing.hpp"
#include "platform/service_control.hpp"
#include "platform/service_host.hpp"
#include "platform/system.hpp"
#include "platform/range_guard.hpp"

namespace velnaro::platform {

Pipes& absent_pipes();
ServiceHost& absent_service_host();
Log& silent_log();
RangeGuard& no_range_guard();
// What a client of the service leaves out (NativeClientPlatform).
Sealing& absent_sealing();
Loader& absent_loader();
ServiceControl& absent_service_control();

// The single seam between the system's logic and the operating system. Each area is an
// interface of its own, so an implementation (native or fake) is assembled from parts.
// Adding an operation: one declaration in its area, a POSIX and a Windows implementation,
// and the fake in tests/fake.
struct Platform {
    FileSystem& files;
    System& system;
    Sealing& sealing;
    Loader& loader;
    ServiceControl& services;
    // Code that never talks to clients or runs the service may leave these two out; they
    // then refuse every call.
    Pipes& pipes = absent_pipes();
    ServiceHost& host = absent_service_host();
    // Left out (and on Windows): nothing is written.
    Log& log = silent_log();
    // Left out: nothing held, nothing to release.
    RangeGuard& ranges = no_range_guard();
};

}  // namespace velnaro::platform
