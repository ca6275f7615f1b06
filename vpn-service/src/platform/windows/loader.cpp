#include "platform/windows/loader.hpp"

#include <windows.h>

#include "platform/windows/wide.hpp"

namespace velnaro::platform {

OsResult<ModuleHandle> Win32Loader::load_library(std::string_view path) {
    auto wide = to_wide(path);
    if (!wide)
        return std::unexpected(OsError{ERROR_INVALID_NAME, "LoadLibraryExW", std::string(path)});
    // Dependencies only from the library's own folder and the system folder.
    HMODULE module = ::LoadLibraryExW(
        wide->c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr)
        return std::unexpected(OsError{::GetLastError(), "LoadLibraryExW", std::string(path)});
    return ModuleHandle{reinterpret_cast<std::uintptr_t>(module)};
}

void* Win32Loader::find_export(ModuleHandle module, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<HMODULE>(module.value), name));
}

}  // namespace velnaro::platform
