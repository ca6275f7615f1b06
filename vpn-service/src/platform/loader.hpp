#pragma once

#include <optional>
#include <string_view>

#include "platform/handles.hpp"
#include "platform/os_error.hpp"

namespace velnaro::platform {

// Dynamic loading of the WireGuard components. Libraries are never unloaded.
class Loader {
  public:
    virtual ~Loader() = default;

    // Loads a library by full path; its own dependencies are searched only beside it and in
    // the system directory.
    virtual OsResult<ModuleHandle> load_library(std::string_view path) = 0;
    // Address of an export, or null (an absent export is an answer, not a failure).
    virtual void* find_export(ModuleHandle module, const char* name) = 0;
};

}  // namespace velnaro::platform
