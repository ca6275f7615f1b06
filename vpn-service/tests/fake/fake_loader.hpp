#pragma once

#include <map>
#include <string>

#include "fake/faults.hpp"
#include "platform/loader.hpp"

namespace velnaro::fake {

// Libraries are registered by full path with their exports; loading one that is not
// registered fails like a file the loader refuses.
class FakeLoader final : public platform::Loader {
  public:
    explicit FakeLoader(Faults& faults) : faults_(faults) {}

    platform::OsResult<platform::ModuleHandle> load_library(std::string_view path) override;
    void* find_export(platform::ModuleHandle module, const char* name) override;

    void add_library(std::string path, std::map<std::string, void*> exports);
    int loads = 0;

  private:
    Faults& faults_;
    std::map<std::string, std::map<std::string, void*>, std::less<>> libraries_;
    std::map<std::uintptr_t, std::string> handles_;
};

}  // namespace velnaro::fake
