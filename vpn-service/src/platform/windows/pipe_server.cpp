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
std::shared_ptr<Win32Pipes::Endpoint> new_instance(const std::wstring& name, bool first) {
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
    auto instance = std::make_shared<Win32Pipes::Endpoint>();
    instance->server = true;
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
            instance->connect_pending = true;
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
bool start_read(Win32Pipes::Endpoint& connection) {
    connection.read = OVERLAPPED{};
    connection.read.hEvent = connection.read_event.get();
    ::ResetEvent(connection.read_event.get());
    if (!::ReadFile(connection.pipe.get(), connection.received.data(), kReadChunk, nullptr,
                    &connection.read) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    connection.read_pending = true;
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

std::expected<PipeHandle, PipeServerError> Win32Pipes::create_server(std::string_view name) {
    const auto wide_name = to_wide(name);
    if (!wide_name)
        return std::unexpected(PipeServerError::failed);
    auto server = std::make_shared<Endpoint>();
    server->server = true;
    server->listener = true;
    server->name = *wide_name;
    if (name_is_held(server->name))
        return std::unexpected(PipeServerError::name_in_use);
    server->listening = new_instance(server->name, true);
    if (!server->listening) {
        const DWORD error = ::GetLastError();
        return std::unexpected(error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY
                                   ? PipeServerError::name_in_use
                                   : PipeServerError::failed);
    }
    return keep(std::move(server));
}

std::optional<std::vector<PipeEvent>> Win32Pipes::wait_for_events(PipeHandle server,
                                                                  std::chrono::milliseconds limit) {
    const auto listener = find(server);
    if (!listener || !listener->listener)
        return std::nullopt;
    std::vector<std::pair<std::uintptr_t, std::shared_ptr<Endpoint>>> connections;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, endpoint] : endpoints_) {
            if (endpoint->owner == server.value && endpoint->reading)
                connections.emplace_back(handle, endpoint);
        }
    }
    // While every instance is taken, clients find the pipe busy and wait.
    if (!listener->listening) {
        listener->listening = new_instance(listener->name, false);
        if (!listener->listening && ::GetLastError() != ERROR_PIPE_BUSY)
            return std::nullopt;
    }
    std::vector<HANDLE> watched;
    if (listener->listening)
        watched.push_back(listener->listening->event.get());
    for (const auto& [handle, connection] : connections)
        watched.push_back(connection->read_event.get());
    std::vector<PipeEvent> events;
    if (watched.empty())
        return events;
    const DWORD woke = ::WaitForMultipleObjects(static_cast<DWORD>(watched.size()), watched.data(),
                                                FALSE, milliseconds_of(limit));
    if (woke == WAIT_TIMEOUT)
        return events;
    if (woke >= WAIT_OBJECT_0 + watched.size())
        return std::nullopt;
    std::size_t next = 0;
    if (listener->listening) {
        ++next;
        if (::WaitForSingleObject(listener->listening->event.get(), 0) == WAIT_OBJECT_0)
            accept_client(server.value, *listener, events);
    }
    for (const auto& [handle, connection] : connections) {
        if (::WaitForSingleObject(watched[next++], 0) != WAIT_OBJECT_0)
            continue;
        DWORD got = 0;
        connection->read_pending = false;
        if (::GetOverlappedResult(connection->pipe.get(), &connection->read, &got, FALSE) &&
            got > 0) {
            events.push_back({PipeEvent::Kind::received,
                              PipeHandle{handle},
                              {},
                              {connection->received.begin(), connection->received.begin() + got}});
            if (start_read(*connection))
                continue;
        }
        connection->reading = false;
        events.push_back({PipeEvent::Kind::closed, PipeHandle{handle}, {}, {}});
    }
    return events;
}

void Win32Pipes::accept_client(std::uintptr_t server, Endpoint& listener,
                               std::vector<PipeEvent>& events) {
    auto instance = std::move(listener.listening);
    // The next instance waits at once, so a client never finds the name missing between two
    // waits; at the most instances it is made later.
    listener.listening = new_instance(listener.name, false);
    DWORD ignored = 0;
    const bool pending = instance->connect_pending;
    instance->connect_pending = false;
    if (pending &&
        !::GetOverlappedResult(instance->pipe.get(), &instance->connect, &ignored, FALSE) &&
        ::GetLastError() != ERROR_PIPE_CONNECTED) {
        return;  // the client came and went: the instance is dropped, a new one waits next time
    }
    instance->owner = server;
    instance->reading = true;
    instance->received.resize(kReadChunk);
    instance->read_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!instance->read_event || !start_read(*instance))
        return;
    // Every caller the access list admits may change the tunnel: the desktop client runs as
    // the signed-in user.
    PipeCaller caller{client_account(instance->pipe.get()), true};
    events.push_back(
        {PipeEvent::Kind::connected, keep(std::move(instance)), std::move(caller), {}});
}

void Win32Pipes::flush(PipeHandle connection, std::chrono::milliseconds limit) {
    const auto endpoint = find(connection);
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

}  // namespace velnaro::platform
