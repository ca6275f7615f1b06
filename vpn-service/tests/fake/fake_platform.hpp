#pragma once

#include "fake/fake_file_system.hpp"
#include "fake/fake_loader.hpp"
#include "fake/fake_log.hpp"
#include "fake/fake_pipes.hpp"
#include "fake/fake_sealing.hpp"
#include "fake/fake_service_host.hpp"
#include "fake/fake_services.hpp"
#include "fake/fake_system.hpp"
#include "fake/fake_range_guard.hpp"
#include "fake/faults.hpp"
#include "platform/platform.hpp"
#include "wireguard/runtime.hpp"
#include "wireguard/components.hpp"

namespace velnaro::fake {

// Every platform area in memory, sharing one fault switch and call log.
struct FakePlatform {
    Faults faults;
    FakeFileSystem files{faults};
    FakeSystem system{faults};
    FakeSealing sealing{faults};
    FakeLoader loader{faults};
    FakeServices services{faults};
    FakePipes pipes{faults, system};
    FakeServiceHost host{faults};
    FakeLog log;
    FakeRangeGuard ranges{faults};
    platform::Platform platform{files, system, sealing, loader, services, pipes, host, log, ranges};
    wireguard::ComponentCell components;
    Runtime runtime{platform, components};

    FakePlatform() = default;
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;
};

}  // namespace velnaro::fake
