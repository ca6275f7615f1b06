#include <windows.h>
// After windows.h, which they need.
#include <sddl.h>

#include <algorithm>

#include "platform/windows/pipe_endpoint.hpp"
#include "platform/windows/wide.hpp"

namespace velnaro::platform {

namespace {

// System and administrators: everything. Interactive users: read, write and their
// attributes (0x12019b), but not FILE_CREATE_PIPE_INSTANCE (the same bit as
// FILE_APPEND_DATA, which GENERIC_WRITE would grant), so nobody but the service can add an
// instance of its own to the name and take clients' requests.
constexpr wchar_t kPipeAccessList[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)";
constexpr DWORD kFlushGraceMs = 1000;
// One wait watches the waiting instance and every connection: at most 64 objects.
constexpr DWORD kMostInstances = MAXIMUM_WAIT_OBJECTS;
constexpr DWORD kReadChunk = 16384;

DWORD WINAPI flush_on_thread(LPVOID pipe) {
    ::FlushFileBuffers(static_cast<HANDLE>(pipe));
    return 0;
}

// One more instance of the pipe, already waiting for a client. The first of the name is
// created with FILE_FLAG_FIRST_PIPE_INSTANCE, so the name is never shared with a server that
// holds it already. Nothing, with the last error set, when it cannot be made.
std::shared_ptr<PipeInstance> new_instance(const std::wstring& name, bool first) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeAccessList, SDDL_REVISION_1,
                                                                &descriptor, nullptr) ||
        descriptor == nullptr) {
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    const DWORD flags =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    HANDLE pipe = ::CreateNamedPipeW(
        name.c_str(), flags,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        kMostInstances, kPipeBufferBytes, kPipeBufferBytes, 0, &attributes);
    const DWORD error = ::GetLastError();
    ::LocalFree(descriptor);
    if (pipe == INVALID_HANDLE_VALUE) {
        ::SetLastError(error);
        return nullptr;
    }
    auto instance = std::make_shared<PipeInstance>();
    instance->pipe.reset(pipe);
    if (!instance->event)
        return nullptr;
    instance->connect.hEvent = instance->event.get();
    ::ResetEvent(instance->event.get());
    if (::ConnectNamedPipe(pipe, &instance->connect)) {
        ::SetEvent(instance->event.get());
        return instance;
    }
    switch (::GetLastError()) {
        case ERROR_IO_PENDING:
            instance->connect_pending = PendingIo(&instance->connect, PendingIoPolicy{pipe});
            break;
        case ERROR_PIPE_CONNECTED:
        case ERROR_NO_DATA:  // came and went already: seen at the wait, then dropped
            ::SetEvent(instance->event.get());
            break;
        default:
            return nullptr;
    }
    return instance;
}

// The account of the client's process: a SID text, empty for the local system account
// (whose connections are not capped), "unknown" when the system does not say.
std::string client_account(HANDLE pipe) {
    ULONG pid = 0;
    if (!::GetNamedPipeClientProcessId(pipe, &pid))
        return "unknown";
    const OwnedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    HANDLE raw_token = nullptr;
    if (!process || !::OpenProcessToken(process.get(), TOKEN_QUERY, &raw_token))
        return "unknown";
    const OwnedHandle token(raw_token);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return "unknown";
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    if (::IsWellKnownSid(sid, WinLocalSystemSid))
        return "";
    LPSTR text = nullptr;
    if (!::ConvertSidToStringSidA(sid, &text))
        return "unknown";
    std::string account(text);
    ::LocalFree(text);
    return account;
}

// Starts the read that waits for the connection's next bytes.
bool start_read(PipeInstance& connection) {
    connection.read = OVERLAPPED{};
    connection.read.hEvent = connection.read_event.get();
    ::ResetEvent(connection.read_event.get());
    if (!::ReadFile(connection.pipe.get(), connection.received.data(), kReadChunk, nullptr,
                    &connection.read) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    connection.read_pending = PendingIo(&connection.read, PendingIoPolicy{connection.pipe.get()});
    return true;
}

// Whether some server already offers an instance of the name (free or busy). The first
// instance's flag is what keeps the name; this is asked first because not every
// implementation of the system honours that flag (Wine ignores it).
bool name_is_held(const std::wstring& name) {
    if (::WaitNamedPipeW(name.c_str(), 1))
        return true;
    return ::GetLastError() != ERROR_FILE_NOT_FOUND;
}

}  // namespace

std::expected<std::unique_ptr<PipeServer>, PipeServerError> Win32Pipes::create_server(
    std::string_view name) {
    const auto wide_name = to_wide(name);
    if (!wide_name) {
        return std::unexpected(PipeServerError{
            PipeServerError::failed, os_error(ERROR_INVALID_NAME, "CreateNamedPipeW", name)});
    }
    if (name_is_held(*wide_name)) {
        return std::unexpected(PipeServerError{PipeServerError::name_in_use,
                                               os_error(ERROR_PIPE_BUSY, "WaitNamedPipeW", name)});
    }
    auto server = std::make_unique<Win32Server>(std::string(name), *wide_name);
    server->listening = new_instance(*wide_name, true);
    if (!server->listening) {
        const DWORD error = ::GetLastError();
        return std::unexpected(PipeServerError{
            error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY ? PipeServerError::name_in_use
                                                                     : PipeServerError::failed,
            os_error(error, "CreateNamedPipeW", name)});
    }
    return server;
}

Win32Server::~Win32Server() {
    // The connections still open end with their server.
    for (const auto& watched : connections_) {
        if (const auto instance = watched.lock())
            instance->end();
    }
}

OsResult<std::vector<PipeEvent>> Win32Server::wait_for_events(std::chrono::milliseconds limit) {
    std::erase_if(connections_, [](const auto& watched) { return watched.expired(); });
    std::vector<std::shared_ptr<PipeInstance>> connections;
    for (const auto& watched : connections_) {
        auto instance = watched.lock();
        if (instance && instance->reading)
            connections.push_back(std::move(instance));
    }
    // While every instance is taken, clients find the pipe busy and wait.
    if (!listening) {
        listening = new_instance(wide_name_, false);
        if (!listening && ::GetLastError() != ERROR_PIPE_BUSY)
            return std::unexpected(os_error(::GetLastError(), "CreateNamedPipeW", name_));
    }
    std::vector<HANDLE> watched;
    if (listening)
        watched.push_back(listening->event.get());
    for (const auto& connection : connections)
        watched.push_back(connection->read_event.get());
    std::vector<PipeEvent> events;
    if (watched.empty())
        return events;
    const DWORD woke = ::WaitForMultipleObjects(static_cast<DWORD>(watched.size()), watched.data(),
                                                FALSE, milliseconds_of(limit));
    if (woke == WAIT_TIMEOUT)
        return events;
    if (woke >= WAIT_OBJECT_0 + watched.size())
        return std::unexpected(os_error(::GetLastError(), "WaitForMultipleObjects", name_));
    std::size_t next = 0;
    if (listening) {
        ++next;
        if (::WaitForSingleObject(listening->event.get(), 0) == WAIT_OBJECT_0)
            accept_client(events);
    }
    for (const auto& connection : connections) {
        if (::WaitForSingleObject(watched[next++], 0) != WAIT_OBJECT_0)
            continue;
        DWORD got = 0;
        connection->read_pending.release();
        if (::GetOverlappedResult(connection->pipe.get(), &connection->read, &got, FALSE) &&
            got > 0) {
            events.push_back({PipeEvent::Kind::received,
                              connection->object,
                              nullptr,
                              {},
                              {connection->received.begin(), connection->received.begin() + got}});
            if (start_read(*connection))
                continue;
        }
        connection->reading = false;
        events.push_back({PipeEvent::Kind::closed, connection->object, nullptr, {}, {}});
    }
    return events;
}

void Win32Server::accept_client(std::vector<PipeEvent>& events) {
    auto instance = std::move(listening);
    // The next instance waits at once, so a client never finds the name missing between two
    // waits; at the most instances it is made later.
    listening = new_instance(wide_name_, false);
    DWORD ignored = 0;
    const bool pending = instance->connect_pending.release() != nullptr;
    if (pending &&
        !::GetOverlappedResult(instance->pipe.get(), &instance->connect, &ignored, FALSE) &&
        ::GetLastError() != ERROR_PIPE_CONNECTED) {
        return;  // the client came and went: the instance is dropped, a new one waits next time
    }
    instance->reading = true;
    instance->received.resize(kReadChunk);
    instance->read_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!instance->read_event || !start_read(*instance))
        return;
    // Every caller the access list admits may change the tunnel: the desktop client runs as
    // the signed-in user.
    PipeCaller caller{client_account(instance->pipe.get()), true};
    connections_.push_back(instance);
    auto connection = std::make_unique<Win32Connection>(std::move(instance), name_, false);
    const PipeConnection* key = connection.get();
    events.push_back(
        {PipeEvent::Kind::connected, key, std::move(connection), std::move(caller), {}});
}

void Win32Connection::flush(std::chrono::milliseconds limit) {
    if (client_ || !instance_->pipe)
        return;
    const HANDLE pipe = instance_->pipe.get();
    // FlushFileBuffers waits for the client to read everything and has no time limit of its
    // own: it runs on a helper thread that is cancelled, or released by the disconnect, at
    // the limit.
    OwnedHandle helper(::CreateThread(nullptr, 0, flush_on_thread, pipe, 0, nullptr));
    if (!helper)
        return;
    if (::WaitForSingleObject(helper.get(), milliseconds_of(limit)) == WAIT_OBJECT_0)
        return;
    ::CancelSynchronousIo(helper.get());
    if (::WaitForSingleObject(helper.get(), kFlushGraceMs) == WAIT_OBJECT_0)
        return;
    ::DisconnectNamedPipe(pipe);
    ::WaitForSingleObject(helper.get(), INFINITE);
}

}  // namespace velnaro::platform
