#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/os_error.hpp"

namespace velnaro::platform {

enum class PipeIoStatus {
    done,       // `bytes` (at least 1) were moved
    closed,     // the other end is gone
    timed_out,  // nothing moved within the time given
    failed,
};

struct PipeIo {
    PipeIo() = default;
    PipeIo(PipeIoStatus status, std::size_t bytes, OsError os = {})
        : status(status), bytes(bytes), os(std::move(os)) {}

    PipeIoStatus status = PipeIoStatus::failed;
    std::size_t bytes = 0;
    OsError os;  // with `failed`: the call that failed and the pipe's name, where the system said
};

struct PipeOpenError {
    enum Reason {
        unavailable,  // no instance became free within the wait
        open_failed,  // an instance was announced free but the open failed (someone was faster)
    };
    Reason reason = unavailable;
    OsError os;
};

// Why a server could not take its name.
struct PipeServerError {
    enum Reason {
        name_in_use,  // a live server holds it
        failed,       // anything else, a refused socket folder included
    };
    Reason reason = failed;
    OsError os;
};

// Who is on the other end of a server's connection, as the connection itself tells (not a
// process id, which the caller could let go and another process take).
struct PipeCaller {
    // The account, in whatever form the system names it: open connections are counted per
    // account. Never empty: a connection whose account the system will not tell is refused
    // and never shows.
    std::string account;
    // Whether the caller may have the service change anything, or only read.
    bool may_change_state = false;
    // The system's own administrator (root; the local system account), whose own tools are
    // not limited.
    bool administrator = false;
};

// Who serves a client's connection, as far as the system can tell.
enum class ServerCheck {
    privileged_service,  // root on Linux, the local system account on Windows
    other_account,       // anybody else: whoever holds the name is not the service
    unverifiable,        // the system would not say, which a careful client treats as "other"
};

// One end of a connection: a server's connection to one client, or a client's connection to
// the server. Destroying it ends the connection. Each call moves at least one byte or reports
// why it could not; every blocking call takes a time limit so that no client can hold the
// server. One thread at a time uses a connection.
class PipeConnection {
  public:
    virtual ~PipeConnection() = default;
    virtual PipeIo read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit) = 0;
    virtual PipeIo write(std::span<const std::uint8_t> data, std::chrono::milliseconds limit) = 0;
    // Server side, once the answer is written: whether the client still has to take it
    // before the connection may end. If so, a later wait of the server reports `delivered`
    // when it has (or is gone); nothing here waits, so no client holds the server. Windows:
    // ending a connection drops what its client has not read. Linux: the answer sits whole
    // in the socket's buffer and stays readable after the close, so there is nothing to wait
    // for.
    virtual bool awaits_delivery() = 0;
    // Client side: whether the process serving the connection is the service. Any account
    // may create the name while the service is down, so a client asks before it hands over a
    // request or trusts an answer. Windows: the server's process id is the one the service
    // manager gives for the running service, and it runs in session 0 (a standard user can
    // ask both); where the manager does not say, the server's account must be the local
    // system account. Linux: the server runs as root. A server's connection is unverifiable.
    virtual ServerCheck verify_server() = 0;
};

// A wait that ends only when something happens.
inline constexpr std::chrono::milliseconds kNoTimeLimit = std::chrono::milliseconds::max();

// One thing that happened on a server's connections during a wait.
struct PipeEvent {
    enum class Kind {
        connected,  // a new, admitted connection; `caller` says who, `accepted` is the connection
        received,   // `bytes` (at least one) arrived
        closed,     // the client will send nothing more
        delivered,  // the client has taken what was written, or is gone (see awaits_delivery)
    };
    Kind kind = Kind::closed;
    // Which connection: the address of the object `accepted` handed over. A server reports
    // only connections whose object still lives, so the address names one connection.
    const PipeConnection* connection = nullptr;
    // With `connected`: the new connection, now the caller's.
    std::unique_ptr<PipeConnection> accepted;
    PipeCaller caller;
    std::vector<std::uint8_t> bytes;
};

// A server holding its name. Destroying it gives the name up and ends the connections it
// accepted that are still open (their calls then fail).
class PipeServer {
  public:
    virtual ~PipeServer() = default;
    // Waits up to `limit` for new connections, bytes or ends on all of the server's open
    // connections at once, and reports them in the order they happened; an empty list means
    // nothing came. `kNoTimeLimit` waits until something comes, without waking in between.
    // Connections that the system refuses (accounts that may not talk to the service) never
    // show. An error when the server can no longer be used.
    virtual OsResult<std::vector<PipeEvent>> wait_for_events(std::chrono::milliseconds limit) = 0;
};

// What a client lends the server of its identity. Windows: a client that says nothing lets
// whoever serves the name impersonate it fully, so every client says: the server may learn
// who it is but never act as it (identify), or learn nothing at all (anonymous, for the
// wake-up connection, which sends nothing). Linux: the peer credentials are all a server
// learns, whatever the client asks.
enum class ClientIdentity {
    identify,
    anonymous,
};

// The service's local, access-controlled byte stream, held by one server at a time. Windows: a
// named pipe with the service's access list; Linux: a Unix stream socket checked with the peer's
// credentials. Every blocking call takes a time limit so that no client can hold the server.
class Pipes {
  public:
    virtual ~Pipes() = default;

    // Server side. Creates the server of `name`; never takes over a live server's name.
    virtual std::expected<std::unique_ptr<PipeServer>, PipeServerError> create_server(
        std::string_view name) = 0;

    // Client side. True when a server currently holds the name.
    virtual bool pipe_exists(std::string_view name) = 0;
    // Waits up to `wait` for a free instance, then connects. A zero wait connects only to an
    // instance that is free right now. An instance taken by another client between the wait
    // and the open is `unavailable` (the caller may wait again); `open_failed` is a refusal.
    virtual std::expected<std::unique_ptr<PipeConnection>, PipeOpenError> open_client(
        std::string_view name, std::chrono::milliseconds wait, ClientIdentity identity) = 0;
    // Client side. Whether a server of this system serves the account this process runs as,
    // so that a client whose connection ended without an answer can say it was refused.
    // Linux: root and the login accounts (UID_MIN..UID_MAX of /etc/login.defs); a system
    // account is disconnected without an answer. Windows: the pipe's access list refuses
    // others when they open it, so every account that got a connection is served.
    virtual bool serves_own_account() { return true; }
};

}  // namespace velnaro::platform
