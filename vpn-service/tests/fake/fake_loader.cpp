#include "fake/fake_loader.hpp"

#include "fake/fake_error.hpp"

namespace velnaro::fake {

platform::OsResult<platform::ModuleHandle> FakeLoader::load_library(std::string_view path) {
    if (faults_.should_fail("load_library"))
        return fake_error("load_library", path);
    // ERROR_MOD_NOT_FOUND, as for a file that is not there.
    auto it = libraries_.find(path);
    if (it == libraries_.end())
        return fake_error("load_library", path, 126);
    ++loads;
    const std::uintptr_t handle = handles_.size() + 1;
    handles_[handle] = it->first;
    return platform::ModuleHandle{handle};
}

void* FakeLoader::find_export(platform::ModuleHandle module, const char* name) {
    if (faults_.should_fail("find_export"))
        return nullptr;
    auto h = handles_.find(module.value);
    if (h == handles_.end())
        return nullptr;
    auto& exports = libraries_[h->second];
    auto e = exports.find(name);
    return e == exports.end() ? nullptr : e->second;
}

void FakeLoader::add_library(std::string path, std::map<std::string, void*> exports) {
    libraries_[std::move(path)] = std::move(exports);
}

}  // namespace velnaro::fake
