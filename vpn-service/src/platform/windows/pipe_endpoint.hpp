#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/owned.hpp"
#include "platform/windows/owned_handle.hpp"
#include "platform/windows/pipes.hpp"

namespace velnaro::platform {

constexpr DWORD kPipeBufferBytes = 65540;

inline DWORD milliseconds_of(std::chrono::milliseconds limit) {
    if (limit == kNoTimeLimit)
        return INFINITE;
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

inline OsError os_error(DWORD code, const char* operation, std::string_view name) {
    return {static_cast<std::uint32_t>(code), operation, std::string(name)};
}

// An overlapped operation in flight on a pipe. It is cancelled, and waited for, when its owner
// goes, so that the system never completes it into memory that is gone.
struct PendingIoPolicy {
    using Value = OVERLAPPED*;
    static OVERLAPPED* invalid() noexcept { return nullptr; }
    static bool is_valid(OVERLAPPED* overlapped) noexcept { return overlapped != nullptr; }
    void close(OVERLAPPED* overlapped) noexcept {
        DWORD ignored = 0;
        ::CancelIoEx(pipe, overlapped);
        ::GetOverlappedResult(pipe, overlapped, &ignored, TRUE);
    }
    HANDLE pipe = nullptr;
};
using PendingIo = Owned<PendingIoPolicy>;

// What became of an overlapped operation whose event was seen set.
struct Completion {
    bool finished = true;  // false: still running, and still owned
    bool ok = true;
    DWORD bytes = 0;
    DWORD error = 0;
};

// The operation is let go only once the system confirms that it has completed; one that has
// not stays owned, to be cancelled and waited for when its owner goes.
inline Completion take_completion(PendingIo& pending, HANDLE pipe, OVERLAPPED& overlapped) {
    if (!pending)
        return {};
    Completion result;
    result.ok = ::GetOverlappedResult(pipe, &overlapped, &result.bytes, FALSE) != 0;
    result.error = result.ok ? 0 : ::GetLastError();
    if (!result.ok && result.error == ERROR_IO_INCOMPLETE)
        return {false, false, 0, result.error};
    (void)pending.release();
    return result;
}

// The calls that end a server's end of the pipe, apart so that a test can stand in for them.
struct ServerEndCalls {
    BOOL(WINAPI* disconnect)(HANDLE) = ::DisconnectNamedPipe;
    BOOL(WINAPI* close)(HANDLE) = ::CloseHandle;
};

// Every server end goes this way. Closed bare, it would stay in the closing state until the
// client closes its handle too, counted against the instance limit and holding the name: a
// user who opens the pipe and keeps the handles would exhaust the instances. The disconnect
// frees it at once, and drops whatever the client has not read, so it comes only once the
// answer was taken or its time ran out.
inline void close_server_end(HANDLE pipe, const ServerEndCalls& calls = {}) {
    const DWORD error = ::GetLastError();  // what the caller may be about to report
    calls.disconnect(pipe);
    calls.close(pipe);
    ::SetLastError(error);
}

// One instance of the pipe: waiting for a client, a server's connection, or a client's own.
// A connection's object owns it; the server watches its connections through weak references
// and ends those still open when it ends first.
struct PipeInstance {
    PipeInstance() = default;
    PipeInstance(const PipeInstance&) = delete;
    PipeInstance& operator=(const PipeInstance&) = delete;
    ~PipeInstance() { end(); }

    OwnedHandle pipe;
    // The server's end, which is disconnected before it is closed; not a client's.
    bool server_end = false;
    OwnedHandle event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED connect{};
    // A served connection: the read that waits for the client's bytes.
    bool reading = false;
    OwnedHandle read_event;
    OVERLAPPED read{};
    std::vector<std::uint8_t> received;
    const PipeConnection* object = nullptr;
    // A server's connection whose client has not been told apart yet (it must write first),
    // and when it is dropped if it has not.
    std::chrono::steady_clock::time_point identify_by{};
    // The thread that waits until the client has taken the answer: FlushFileBuffers has no
    // overlapped form, so it waits there while the server's wait watches the thread.
    OwnedHandle delivery;
    // Last, so they are cancelled before the handle, the OVERLAPPEDs and the buffer go.
    PendingIo connect_pending;
    PendingIo read_pending;

    // Ending a connection whose client has not taken its answer drops the answer: the
    // disconnect releases the thread's wait, which ends before the handle it uses goes.
    void end() {
        if (delivery) {
            ::CancelSynchronousIo(delivery.get());
            ::DisconnectNamedPipe(pipe.get());
            ::WaitForSingleObject(delivery.get(), INFINITE);
            delivery.reset();
        }
        read_pending.reset();
        connect_pending.reset();
        if (server_end && pipe)
            close_server_end(pipe.release());
        pipe.reset();
    }

    // Runs one overlapped read or write to its end or to the limit.
    template <class Start>
    PipeIo transfer(std::chrono::milliseconds limit, const char* operation, std::string_view name,
                    Start start) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        ::ResetEvent(event.get());
        DWORD moved = 0;
        if (!start(&overlapped)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) {
                if (is_gone(error))
                    return {PipeIoStatus::closed, 0};
                return {PipeIoStatus::failed, 0, os_error(error, operation, name)};
            }
            if (::WaitForSingleObject(event.get(), milliseconds_of(limit)) != WAIT_OBJECT_0) {
                ::CancelIoEx(pipe.get(), &overlapped);
            }
        }
        if (!::GetOverlappedResult(pipe.get(), &overlapped, &moved, TRUE)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_OPERATION_ABORTED)
                return {PipeIoStatus::timed_out, 0};
            if (is_gone(error))
                return {PipeIoStatus::closed, 0};
            return {PipeIoStatus::failed, 0, os_error(error, operation, name)};
        }
        if (moved == 0)
            return {PipeIoStatus::closed, 0};
        return {PipeIoStatus::done, moved};
    }
};

// A server's connection or a client's: the instance, ended when the object goes.
class Win32Connection final : public PipeConnection {
  public:
    Win32Connection(std::shared_ptr<PipeInstance> instance, std::string name, bool client)
        : instance_(std::move(instance)), name_(std::move(name)), client_(client) {
        instance_->object = this;
    }

    PipeIo read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit) override;
    PipeIo write(std::span<const std::uint8_t> data, std::chrono::milliseconds limit) override;
    bool awaits_delivery() override;
    ServerCheck verify_server() override;

  private:
    std::shared_ptr<PipeInstance> instance_;
    std::string name_;
    bool client_ = false;
};

class Win32Server final : public PipeServer {
  public:
    Win32Server(std::string name, std::wstring wide_name)
        : name_(std::move(name)), wide_name_(std::move(wide_name)) {}
    ~Win32Server() override;
    OsResult<std::vector<PipeEvent>> wait_for_events(std::chrono::milliseconds limit) override;

    // The instance that waits for the next client; none while every instance is taken.
    std::shared_ptr<PipeInstance> listening;

  private:
    void accept_client(std::vector<PipeEvent>& events);
    void announce(std::shared_ptr<PipeInstance> instance, PipeCaller caller,
                  std::vector<PipeEvent>& events);
    void take_read(const std::shared_ptr<PipeInstance>& instance, std::vector<PipeEvent>& events);
    std::size_t open_connections() const;

    std::string name_;
    std::wstring wide_name_;
    // The connections handed over, owned by their objects.
    std::vector<std::weak_ptr<PipeInstance>> connections_;
    // Connected clients not yet told apart, owned here until they are.
    std::vector<std::shared_ptr<PipeInstance>> unidentified_;
};

}  // namespace velnaro::platform
