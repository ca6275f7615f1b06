#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fake/fake_system.hpp"
#include "fake/faults.hpp"
#include "platform/pipes.hpp"

namespace velnaro::fake {

// One client connection in memory. A scripted client has its whole input queued up front and
// then either closes or stalls; a live client (open_client) is fed by another thread.
struct FakeConnection {
    enum class End { close, stall };

    std::deque<std::vector<std::uint8_t>> to_server;  // each chunk is delivered by one read
    End end = End::close;
    bool client_closed = false;
    bool reader_gone = false;           // writes to the client report it gone
    std::size_t write_chunk_limit = 0;  // 0: a write takes everything
    std::vector<std::uint8_t> from_server;
    bool disconnected = false;
    bool flushed = false;
    bool live = false;
    platform::PipeCaller caller{"", true};  // root
    int answered_as = 0;  // 1 for the first connection the server wrote to, 2 for the next...
    bool end_reported = false;
};

// In-memory pipes. Single-threaded tests queue scripted clients and set `on_idle`, which
// runs whenever a server's wait finds nothing to report (typically to set the stop flag).
// Without `on_idle` the waits really wait, so a live client on another thread can come.
// A wait reports new connections first, then at most one queued chunk (or the end) of each
// connection, so a client that writes in more pieces completes later.
// A stalled client costs no real time: a wait that finds nothing while one is open advances
// the fake monotonic clock by its limit.
// Operations that can be failed: create_pipe, wait_for_events, pipe_read, pipe_write,
// open_pipe, verify_server (which then answers unverifiable).
class FakePipes final : public platform::Pipes {
  public:
    FakePipes(Faults& faults, FakeSystem& system) : faults_(faults), system_(system) {}

    std::expected<platform::PipeHandle, platform::PipeServerError> create_server(
        std::string_view name) override;
    std::optional<std::vector<platform::PipeEvent>> wait_for_events(
        platform::PipeHandle server, std::chrono::milliseconds limit) override;
    void flush(platform::PipeHandle connection, std::chrono::milliseconds limit) override;
    platform::PipeIo read(platform::PipeHandle pipe, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds limit) override;
    platform::PipeIo write(platform::PipeHandle pipe, std::span<const std::uint8_t> data,
                           std::chrono::milliseconds limit) override;
    void close(platform::PipeHandle pipe) override;
    bool pipe_exists(std::string_view name) override;
    // Records the identity asked for in `identities`.
    std::expected<platform::PipeHandle, platform::PipeOpenError> open_client(
        std::string_view name, std::chrono::milliseconds wait,
        platform::ClientIdentity identity) override;
    platform::ServerCheck verify_server(platform::PipeHandle client) override;

    // Queues a scripted client for the next wait of any server.
    std::shared_ptr<FakeConnection> queue_client(
        std::vector<std::vector<std::uint8_t>> chunks,
        FakeConnection::End end = FakeConnection::End::close);
    // For tests that serve by hand: takes the next client as a connection of `server`
    // that `read` and `write` work on, waiting (really) up to `limit` for one.
    std::optional<platform::PipeHandle> accept(platform::PipeHandle server,
                                               std::chrono::milliseconds limit);
    // Makes `name` look held by a server outside this process: creation fails, it exists.
    void hold_name_elsewhere(std::string name);

    std::function<void()> on_idle;
    // open_client waits (really) up to its time for a server to appear, so a client thread
    // does not outrun a server thread that is still starting.
    bool open_waits_for_server = false;
    // What verify_server says of every client connection.
    platform::ServerCheck server_check = platform::ServerCheck::privileged_service;
    // Written under the lock by open_client; read once the clients are done.
    std::vector<platform::ClientIdentity> identities;
    int server_checks() const;
    int servers_created() const;
    int open_endpoints() const;

  private:
    struct Endpoint {
        enum class Kind { server, served, client };
        Kind kind = Kind::client;
        std::string name;
        std::shared_ptr<FakeConnection> connection;
        std::uintptr_t server = 0;  // the server of a served connection
    };
    std::vector<platform::PipeEvent> collect_events(std::uintptr_t server);
    bool stalled_connection_of(std::uintptr_t server) const;
    platform::PipeHandle connect_next(std::uintptr_t server);
    bool served(std::string_view name) const;
    Endpoint* endpoint_of(platform::PipeHandle handle);
    platform::PipeIo server_read(Endpoint& endpoint, std::span<std::uint8_t> buffer,
                                 std::chrono::milliseconds limit,
                                 std::unique_lock<std::mutex>& lock);
    platform::PipeIo client_read(FakeConnection& connection, std::span<std::uint8_t> buffer,
                                 std::chrono::milliseconds limit,
                                 std::unique_lock<std::mutex>& lock);

    Faults& faults_;
    FakeSystem& system_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<FakeConnection>> pending_;
    std::map<std::uintptr_t, Endpoint> endpoints_;
    std::set<std::string> held_elsewhere_;
    std::uintptr_t next_handle_ = 1;
    int servers_created_ = 0;
    int server_checks_ = 0;
    int answers_ = 0;
};

// The frame of one request body: 4-byte little-endian length, then the body.
std::vector<std::uint8_t> frame_of(std::string_view body);

}  // namespace velnaro::fake
