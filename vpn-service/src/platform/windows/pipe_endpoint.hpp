#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/windows/owned_handle.hpp"
#include "platform/windows/pipes.hpp"

namespace velnaro::platform {

constexpr DWORD kPipeBufferBytes = 65540;

inline DWORD milliseconds_of(std::chrono::milliseconds limit) {
    if (limit.count() <= 0)
        return 0;
    if (limit.count() >= INFINITE)
        return INFINITE - 1;
    return static_cast<DWORD>(limit.count());
}

inline bool is_gone(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_NO_DATA;
}

struct Win32Pipes::Endpoint {
    bool server = false;
    OwnedHandle pipe;
    OwnedHandle event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED connect{};
    bool connect_pending = false;

    // A server: its name, and the instance that waits for the next client.
    std::wstring name;
    std::shared_ptr<Endpoint> listening;
    bool listener = false;
    // A served connection: its server, and the read that waits for the client's bytes.
    std::uintptr_t owner = 0;
    bool reading = false;
    OwnedHandle read_event;
    OVERLAPPED read{};
    bool read_pending = false;
    std::vector<std::uint8_t> received;

    ~Endpoint() {
        DWORD ignored = 0;
        if (connect_pending) {
            ::CancelIoEx(pipe.get(), &connect);
            ::GetOverlappedResult(pipe.get(), &connect, &ignored, TRUE);
        }
        if (read_pending) {
            ::CancelIoEx(pipe.get(), &read);
            ::GetOverlappedResult(pipe.get(), &read, &ignored, TRUE);
        }
    }

    // Runs one overlapped read or write to its end or to the limit.
    template <class Start>
    PipeIo transfer(std::chrono::milliseconds limit, Start start) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        ::ResetEvent(event.get());
        DWORD moved = 0;
        if (!start(&overlapped)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) {
                return {is_gone(error) ? PipeIoStatus::closed : PipeIoStatus::failed, 0};
            }
            if (::WaitForSingleObject(event.get(), milliseconds_of(limit)) != WAIT_OBJECT_0) {
                ::CancelIoEx(pipe.get(), &overlapped);
            }
        }
        if (!::GetOverlappedResult(pipe.get(), &overlapped, &moved, TRUE)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_OPERATION_ABORTED)
                return {PipeIoStatus::timed_out, 0};
            return {is_gone(error) ? PipeIoStatus::closed : PipeIoStatus::failed, 0};
        }
        if (moved == 0)
            return {PipeIoStatus::closed, 0};
        return {PipeIoStatus::done, moved};
    }
};

}  // namespace velnaro::platform
