#pragma once

#include <cstdint>

namespace velnaro::platform {

// Opaque handles handed out by a platform implementation. Their value means something only
// to the implementation that issued them (a descriptor, a Win32 handle, a fake's counter).
struct FileHandle {
    std::uintptr_t value = 0;
};
struct ModuleHandle {
    std::uintptr_t value = 0;
};
struct ScHandle {
    std::uintptr_t value = 0;
};

}  // namespace velnaro::platform
