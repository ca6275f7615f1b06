#include "platform/posix/loader.hpp"

#include <dlfcn.h>

#include <string>

namespace velnaro::platform {

std::optional<ModuleHandle> PosixLoader::load_library(std::string_view path) {
    const std::string file(path);
    if (file.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    void* module = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        return std::nullopt;
    }
    return ModuleHandle{reinterpret_cast<std::uintptr_t>(module)};
}

void* PosixLoader::find_export(ModuleHandle module, const char* name) {
    return ::dlsym(reinterpret_cast<void*>(module.value), name);
}

}  // namespace velnaro::platform
