// A client that asks the service for its version and never reads the answer: it holds its
// connection for the seconds given, then ends. The package scripts run it across an upgrade.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "ipc_client/frames.hpp"
#include "ipc_client/pipe_name.hpp"
#include "platform/windows/wide.hpp"

int main(int argc, char** argv) {
    const DWORD seconds = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 10;
    const auto name = velnaro::platform::to_wide(velnaro::kServicePipeName);
    if (!name || !::WaitNamedPipeW(name->c_str(), 5000))
        return 1;
    HANDLE pipe = ::CreateFileW(name->c_str(), FILE_GENERIC_READ | FILE_WRITE_DATA, 0, nullptr,
                                OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return 1;
    const std::string body = R"({"command":"GET_VERSION"})";
    const auto header = velnaro::frame_header(static_cast<std::uint32_t>(body.size()));
    std::string frame(header.begin(), header.end());
    frame += body;
    DWORD put = 0;
    const bool sent =
        ::WriteFile(pipe, frame.data(), static_cast<DWORD>(frame.size()), &put, nullptr) != 0;
    ::Sleep(seconds * 1000);
    ::CloseHandle(pipe);
    return sent ? 0 : 1;
}
