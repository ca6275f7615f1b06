// Asks the service for its version, never reads the answer, and holds the connection for the
// seconds given. The package scripts run it across an upgrade.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "ipc_client/frames.hpp"
#include "ipc_client/pipe_name.hpp"
#include "platform/windows/wide.hpp"

int main(int argc, char** argv) {
    const auto name = *velnaro::platform::to_wide(velnaro::kServicePipeName);
    ::WaitNamedPipeW(name.c_str(), 5000);
    HANDLE pipe = ::CreateFileW(name.c_str(), FILE_GENERIC_READ | FILE_WRITE_DATA, 0, nullptr,
                                OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                nullptr);
    const std::string body = R"({"command":"GET_VERSION"})";
    const auto header = velnaro::frame_header(static_cast<std::uint32_t>(body.size()));
    const std::string frame = std::string(header.begin(), header.end()) + body;
    DWORD put = 0;
    const BOOL sent = ::WriteFile(pipe, frame.data(), static_cast<DWORD>(frame.size()), &put, nullptr);
    ::Sleep(1000 * static_cast<DWORD>(argc > 1 ? std::atoi(argv[1]) : 10));
    return sent ? 0 : 1;
}
