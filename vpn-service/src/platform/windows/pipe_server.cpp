#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include "platform/windows/pipe_endpoint.hpp"
#include "platform/windows/wide.hpp"

namespace velnaro::platform {

namespace {

constexpr wchar_t kPipeAccessList[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)";
constexpr DWORD kFlushGraceMs = 1000;

DWORD WINAPI flush_on_thread(LPVOID pipe) {
    ::FlushFileBuffers(static_cast<HANDLE>(pipe));
    return 0;
}

}  // namespace

std::optional<PipeHandle> Win32Pipes::create_server(std::string_view name) {
    const auto wide_name = to_wide(name);
    if (!wide_name)
        return std::nullopt;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeAccessList, SDDL_REVISION_1,
                                                                &descriptor, nullptr) ||
        descriptor == nullptr) {
        return std::nullopt;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    HANDLE pipe = ::CreateNamedPipeW(
        wide_name->c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        kPipeBufferBytes, kPipeBufferBytes, 0, &attributes);
    ::LocalFree(descriptor);
    if (pipe == INVALID_HANDLE_VALUE)
        return std::nullopt;
    auto endpoint = std::make_shared<Endpoint>();
    endpoint->server = true;
    endpoint->pipe.reset(pipe);
    if (!endpoint->event)
        return std::nullopt;
    return keep(std::move(endpoint));
}

PipeWait Win32Pipes::wait_for_client(PipeHandle server, std::chrono::milliseconds limit) {
    const auto endpoint = find(server);
    if (!endpoint || !endpoint->server)
        return PipeWait::failed;
    HANDLE pipe = endpoint->pipe.get();
    if (!endpoint->connect_pending) {
        endpoint->connect = OVERLAPPED{};
        endpoint->connect.hEvent = endpoint->event.get();
        ::ResetEvent(endpoint->event.get());
        if (!::ConnectNamedPipe(pipe, &endpoint->connect)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_PIPE_CONNECTED)
                return PipeWait::connected;
            if (error == ERROR_NO_DATA) {
                // A client came and went before this wait: clear the instance, wait again.
                ::DisconnectNamedPipe(pipe);
                return PipeWait::timed_out;
            }
            if (error != ERROR_IO_PENDING)
                return PipeWait::failed;
        }
        endpoint->connect_pending = true;
    }
    // A wait that times out leaves the connect pending, so no client is missed between waits.
    if (::WaitForSingleObject(endpoint->event.get(), milliseconds_of(limit)) != WAIT_OBJECT_0) {
        return PipeWait::timed_out;
    }
    endpoint->connect_pending = false;
    DWORD ignored = 0;
    if (::GetOverlappedResult(pipe, &endpoint->connect, &ignored, FALSE))
        return PipeWait::connected;
    if (::GetLastError() == ERROR_NO_DATA) {
        ::DisconnectNamedPipe(pipe);
        return PipeWait::timed_out;
    }
    return PipeWait::failed;
}

void Win32Pipes::flush(PipeHandle server, std::chrono::milliseconds limit) {
    const auto endpoint = find(server);
    if (!endpoint)
        return;
    // FlushFileBuffers waits for the client to read everything and has no time limit of its
    // own: it runs on a helper thread that is cancelled, or released by the disconnect, at
    // the limit.
    OwnedHandle helper(
        ::CreateThread(nullptr, 0, flush_on_thread, endpoint->pipe.get(), 0, nullptr));
    if (!helper)
        return;
    if (::WaitForSingleObject(helper.get(), milliseconds_of(limit)) == WAIT_OBJECT_0)
        return;
    ::CancelSynchronousIo(helper.get());
    if (::WaitForSingleObject(helper.get(), kFlushGraceMs) == WAIT_OBJECT_0)
        return;
    ::DisconnectNamedPipe(endpoint->pipe.get());
    ::WaitForSingleObject(helper.get(), INFINITE);
}

bool Win32Pipes::disconnect(PipeHandle server) {
    const auto endpoint = find(server);
    if (!endpoint || !endpoint->server)
        return false;
    return ::DisconnectNamedPipe(endpoint->pipe.get()) != 0;
}

}  // namespace velnaro::platform
