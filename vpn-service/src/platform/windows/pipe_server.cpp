#include <windows.h>
// After windows.h, which they need.
#include <sddl.h>

#include <algorithm>
#include <expected>
#include <optional>

#include "platform/windows/pipe_endpoint.hpp"
#include "platform/windows/well_known_accounts.hpp"
#include "platform/windows/wide.hpp"

namespace velnaro::platform {

namespace {

// One wait watches the waiting instance and every connection: at most 64 objects. One
// instance always waits for the next client, so at most 63 connections are open at once;
// a client that comes while they are is closed at once, and finds the name still served.
constexpr DWORD kMostInstances = MAXIMUM_WAIT_OBJECTS;
constexpr std::size_t kMostConnections = kMostInstances - 1;
constexpr DWORD kReadChunk = 16384;
// Clients that must write before they can be told apart (they opened the pipe without the
// quality-of-service flags, or with dynamic tracking) count against no account until they
// have: a few of them at once, briefly, so that one user holding many cannot fill the
// connections. The service's own clients are told apart at once.
constexpr std::size_t kMostUnidentified = 3;
constexpr std::chrono::seconds kIdentifyLimit{1};
// While no instance can be made, the next attempt comes after this long, never at once.
constexpr std::chrono::milliseconds kInstanceRetryInterval{100};
// How long taking the name is tried again while instances of it exist but none waits for a
// client: those of a server that went without disconnecting them stay until their clients
// let go. A live server always keeps one waiting, so it is told at once.
constexpr std::chrono::seconds kNameRetryLimit{10};
constexpr SIZE_T kDeliveryStack = 64 * 1024;

DWORD WINAPI wait_until_taken(LPVOID pipe) {
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
    instance->server_end = true;
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

// The user of a token as the server names callers.
std::optional<PipeCaller> caller_of(HANDLE token) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    // Whole 64-bit words, so the TOKEN_USER at the start is suitably aligned.
    std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        return std::nullopt;
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    LocalMemory<LPSTR> text;
    if (!::ConvertSidToStringSidA(sid, text.out()))
        return std::nullopt;
    // Every caller the access list admits may change the tunnel: the desktop client runs as
    // the signed-in user.
    return PipeCaller{text.get(), true, ::IsWellKnownSid(sid, kLocalSystemSid) != 0};
}

// Who the client is, told by the connection itself rather than by a process id that the
// client may let go: the token it lent the connection, which the service's clients allow to
// identify them and nothing more. Nothing, with the last error set, when it lent none
// (anonymous), or has not yet written where it lends its token with its writes
// (ERROR_CANNOT_IMPERSONATE).
std::optional<PipeCaller> identify_client(HANDLE pipe) {
    if (!::ImpersonateNamedPipeClient(pipe))
        return std::nullopt;
    HANDLE raw = nullptr;
    // Opened with the service's own rights: a token lent for identification cannot.
    const bool opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &raw) != 0;
    const DWORD error = ::GetLastError();
    // Nothing more may run as the client; a thread that cannot stop must not go on.
    if (!::RevertToSelf())
        ::TerminateProcess(::GetCurrentProcess(), ERROR_CANNOT_IMPERSONATE);
    if (!opened) {
        ::SetLastError(error);
        return std::nullopt;
    }
    const OwnedHandle token(raw);
    return caller_of(token.get());
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

// Whether some server already offers a free instance of the name. The first instance's flag
// is what keeps the name; this is asked first because not every implementation of the system
// honours that flag (Wine ignores it). Nothing when no instance of the name exists; the error
// of the wait when some exist but none is free.
std::expected<bool, DWORD> name_is_served(const std::wstring& name) {
    if (::WaitNamedPipeW(name.c_str(), 1))
        return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
        return false;
    return std::unexpected(error);
}

// The first instance of the name, or the error that refused it.
std::expected<std::shared_ptr<PipeInstance>, DWORD> first_instance(const std::wstring& name) {
    const auto served = name_is_served(name);
    if (served && *served)
        return std::unexpected(static_cast<DWORD>(ERROR_PIPE_BUSY));
    if (!served)
        return std::unexpected(served.error());
    auto instance = new_instance(name, true);
    if (!instance)
        return std::unexpected(::GetLastError());
    return instance;
}

}  // namespace

std::expected<std::unique_ptr<PipeServer>, PipeServerError> Win32Pipes::create_server(
    std::string_view name) {
    const auto wide_name = to_wide(name);
    if (!wide_name) {
        return std::unexpected(PipeServerError{
            PipeServerError::failed, os_error(ERROR_INVALID_NAME, "CreateNamedPipeW", name)});
    }
    const auto give_up_at = std::chrono::steady_clock::now() + kNameRetryLimit;
    while (true) {
        auto first = first_instance(*wide_name);
        if (first) {
            auto server = std::make_unique<Win32Server>(std::string(name), *wide_name);
            server->listening = std::move(*first);
            return server;
        }
        const DWORD error = first.error();
        if (error == ERROR_PIPE_BUSY && name_is_served(*wide_name).value_or(false)) {
            return std::unexpected(PipeServerError{
                PipeServerError::name_in_use, os_error(error, "WaitNamedPipeW", name)});
        }
        // Instances that exist but do not wait (5 from the creation, a time-out from the
        // wait) may be leftovers that go once their clients let go.
        const bool may_clear = error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY ||
                               error == ERROR_SEM_TIMEOUT;
        if (!may_clear || std::chrono::steady_clock::now() >= give_up_at) {
            return std::unexpected(PipeServerError{
                may_clear ? PipeServerError::name_in_use : PipeServerError::failed,
                os_error(error, "CreateNamedPipeW", name)});
        }
        ::Sleep(milliseconds_of(kInstanceRetryInterval));
    }
}

Win32Server::~Win32Server() {
    // The connections still open end with their server.
    for (const auto& watched : connections_) {
        if (const auto instance = watched.lock())
            instance->end();
    }
}

std::size_t Win32Server::open_connections() const {
    return unidentified_.size() +
           static_cast<std::size_t>(std::ranges::count_if(
               connections_, [](const auto& watched) { return !watched.expired(); }));
}

OsResult<std::vector<PipeEvent>> Win32Server::wait_for_events(std::chrono::milliseconds limit) {
    std::erase_if(connections_, [](const auto& watched) { return watched.expired(); });
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(unidentified_, [&](const auto& instance) { return instance->identify_by <= now; });
    std::vector<std::shared_ptr<PipeInstance>> connections(unidentified_);
    for (const auto& watched : connections_) {
        auto instance = watched.lock();
        if (instance && instance->reading)
            connections.push_back(std::move(instance));
    }
    // Whenever no instance of the server is left, the next one must be the first of the name,
    // so that it is never shared with whoever took the name meanwhile.
    if (!listening) {
        listening = new_instance(wide_name_, open_connections() == 0);
        // With no instance of its own left, a refusal is the name's: the server is replaced,
        // which takes the name again or tries for a bounded time. Every instance taken is
        // waited out: the connections below may end meanwhile.
        if (!listening && ::GetLastError() != ERROR_PIPE_BUSY)
            return std::unexpected(os_error(::GetLastError(), "CreateNamedPipeW", name_));
        if (!listening)
            limit = std::min(limit, kInstanceRetryInterval);
    }
    std::vector<HANDLE> watched;
    if (listening)
        watched.push_back(listening->event.get());
    for (const auto& connection : connections) {
        watched.push_back(connection->delivery ? connection->delivery.get()
                                               : connection->read_event.get());
        if (connection->object == nullptr)
            limit = std::min(limit, std::chrono::ceil<std::chrono::milliseconds>(
                                        connection->identify_by - now));
    }
    std::vector<PipeEvent> events;
    if (watched.empty()) {
        // Nothing to watch: a wait would return at once, and the caller would spin.
        ::Sleep(milliseconds_of(limit));
        return events;
    }
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
        if (connection->delivery) {
            // The client has taken the answer, or is gone; its read is watched again.
            connection->delivery.reset();
            events.push_back({PipeEvent::Kind::delivered, connection->object, nullptr, {}, {}});
            continue;
        }
        take_read(connection, events);
    }
    return events;
}

void Win32Server::take_read(const std::shared_ptr<PipeInstance>& connection,
                            std::vector<PipeEvent>& events) {
    const Completion read =
        take_completion(connection->read_pending, connection->pipe.get(), connection->read);
    if (!read.finished)
        return;
    const bool got = read.ok && read.bytes > 0;
    if (connection->object == nullptr) {
        // A client that lends its token with its writes can be told apart now, or never.
        std::erase(unidentified_, connection);
        auto caller = got ? identify_client(connection->pipe.get()) : std::nullopt;
        if (!caller)
            return;
        announce(connection, std::move(*caller), events);
    }
    if (got) {
        events.push_back(
            {PipeEvent::Kind::received,
             connection->object,
             nullptr,
             {},
             {connection->received.begin(), connection->received.begin() + read.bytes}});
        if (start_read(*connection))
            return;
    }
    connection->reading = false;
    events.push_back({PipeEvent::Kind::closed, connection->object, nullptr, {}, {}});
}

void Win32Server::accept_client(std::vector<PipeEvent>& events) {
    const Completion connect =
        take_completion(listening->connect_pending, listening->pipe.get(), listening->connect);
    if (!connect.finished)
        return;
    auto instance = std::move(listening);
    // One instance always waits: a client beyond the most connections is closed first, so
    // that the instance made for the next one fits. The name stays held meanwhile by the
    // connections, or by this instance.
    const bool room = open_connections() < kMostConnections;
    if (!room)
        instance.reset();
    listening = new_instance(wide_name_, false);
    // Otherwise the client came and went: the instance is dropped.
    if (!room || (!connect.ok && connect.error != ERROR_PIPE_CONNECTED))
        return;
    instance->reading = true;
    instance->received.resize(kReadChunk);
    instance->read_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!instance->read_event || !start_read(*instance))
        return;
    auto caller = identify_client(instance->pipe.get());
    if (caller) {
        announce(std::move(instance), std::move(*caller), events);
    } else if (::GetLastError() == ERROR_CANNOT_IMPERSONATE &&
               unidentified_.size() < kMostUnidentified) {
        instance->identify_by = std::chrono::steady_clock::now() + kIdentifyLimit;
        unidentified_.push_back(std::move(instance));
    }
    // Anyone else the system will not name, or one such client too many, is refused: the
    // instance is dropped.
}

void Win32Server::announce(std::shared_ptr<PipeInstance> instance, PipeCaller caller,
                           std::vector<PipeEvent>& events) {
    connections_.push_back(instance);
    auto connection = std::make_unique<Win32Connection>(std::move(instance), name_, false);
    const PipeConnection* key = connection.get();
    events.push_back(
        {PipeEvent::Kind::connected, key, std::move(connection), std::move(caller), {}});
}

bool Win32Connection::awaits_delivery() {
    if (client_ || !instance_->pipe || instance_->delivery)
        return false;
    // Its stack is only reserved: up to one such thread runs per connection.
    instance_->delivery.reset(::CreateThread(nullptr, kDeliveryStack, wait_until_taken,
                                             instance_->pipe.get(),
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    return static_cast<bool>(instance_->delivery);
}

}  // namespace velnaro::platform
