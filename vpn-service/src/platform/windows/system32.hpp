#pragma once

#include <windows.h>

namespace velnaro::platform {

// An entry point of a system library, loaded from System32 only. A library linked through
// the import table is searched for beside the executable first, so a DLL planted there would
// run inside the service; libraries outside the system's known set are therefore never
// imported but resolved here. Null when the library or the entry point is missing.
template <class Function>
Function system32_function(const wchar_t* library, const char* name) {
    HMODULE module = ::LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace velnaro::platform
