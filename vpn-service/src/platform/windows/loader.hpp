#pragma once

#include "platform/loader.hpp"

namespace velnaro::platform {

class Win32Loader final : public Loader {
  public:
    OsResult<ModuleHandle> load_library(std::string_view path) override;
    void* find_export(ModuleHandle module, const char* name) override;
};

}  // namespace velnaro::platform
