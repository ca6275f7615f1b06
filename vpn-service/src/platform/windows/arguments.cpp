#include "platform/arguments.hpp"

#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>

#include "platform/windows/wide.hpp"

namespace velnaro::platform {

std::vector<std::string> program_arguments(int, char**) {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) {
        return args;
    }
    for (int i = 1; i < count; ++i) {
        std::wstring_view arg(wide[i]);
        std::string text = from_wide(arg);
        // An unpaired surrogate was replaced; mark the argument so it is never acted on.
        if (to_wide(text).value_or(L"") != arg) {
            text.assign("\xFF");
        }
        args.push_back(std::move(text));
    }
    ::LocalFree(wide);
    return args;
}

void use_binary_standard_streams() {
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
}

std::FILE* open_for_reading(const std::string& path) {
    const auto wide = to_wide(path);
    if (!wide) {
        errno = EINVAL;
        return nullptr;
    }
    return ::_wfopen(wide->c_str(), L"rb");
}

}  // namespace velnaro::platform
