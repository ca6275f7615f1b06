#include "platform/posix/loader.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>

#include <string>

namespace velnaro::platform {

// dlopen sets no errno of its own: a check of the file tells a missing or unreadable file
// from one that is not a usable library (ENOEXEC).
OsResult<ModuleHandle> PosixLoader::load_library(std::string_view path) {
    const std::string file(path);
    if (file.find('\0') != std::string::npos)
        return std::unexpected(OsError{EINVAL, "dlopen", file});
    void* module = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        ::dlerror();  // cleared, so the next failure's text is its own
        const int code = ::access(file.c_str(), R_OK) != 0 ? errno : ENOEXEC;
        return std::unexpected(OsError{static_cast<std::uint32_t>(code), "dlopen", file});
    }
    return ModuleHandle{reinterpret_cast<std::uintptr_t>(module)};
}

void* PosixLoader::find_export(ModuleHandle module, const char* name) {
    return ::dlsym(reinterpret_cast<void*>(module.value), name);
}

}  // namespace velnaro::platform
