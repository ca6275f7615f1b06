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
    // A scripted client takes its answer at once unless told not to; a live one when it
    // has read every byte.
    bool takes_answer = true;
    bool awaiting_delivery = false;  // the server waits for the client to take its answer
    bool delivery_reported = false;
    bool live = false;
    platform::PipeCaller caller{"root", true, true};
    int answered_as = 0;  // 1 for the first connection the server wrote to, 2 for the next...
    bool end_reported = false;
};

// In-memory pipes. Single-threaded tests queue scripted clients and set `on_idle`, which
// runs whenever a server's wait finds nothing to report (typically to set the stop flag).
// Without `on_idle` the waits really wait, so a live client on another thread can come.
// A wait reports new connections first, then at most one queued chunk (or the end) of each
// connection, so a client that writes in more pieces completes later.
// An answer is reported taken once its client has taken it (see FakeConnection) or is gone.
// A stalled client costs no real time: a wait that finds nothing while one is open advances
// the fake monotonic clock by its limit.
// Operations that can be failed: create_pipe, wait_for_events, pipe_read, pipe_write,
// open_pipe, verify_server (which then answers unverifiable).
class FakePipes final : public platform::Pipes {
  public:
    FakePipes(Faults& faults, FakeSystem& system) : faults_(faults), system_(system) {}

    std::expected<std::unique_ptr<platform::PipeServer>, platform::PipeServerError> create_server(
        std::string_view name) override;
    bool pipe_exists(std::string_view name) override;
    // Records the identity asked for in `identities`.
    std::expected<std::unique_ptr<platform::PipeConnection>, platform::PipeOpenError> open_client(
        std::string_view name, std::chrono::milliseconds wait,
        platform::ClientIdentity identity) override;

    // Queues a scripted client for the next wait of any server.
    std::shared_ptr<FakeConnection> queue_client(
        std::vector<std::vector<std::uint8_t>> chunks,
        FakeConnection::End end = FakeConnection::End::close);
    // For tests that serve by hand: takes the next client as a connection of `server`,
    // waiting (really) up to `limit` for one; nothing when none came.
    std::unique_ptr<platform::PipeConnection> accept(platform::PipeServer& server,
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
    // Servers and connections whose objects still live.
    int open_endpoints() const;

  private:
    class Server;
    class End;
    // A server's connection, while its object lives; ordered by when it was accepted.
    struct Served {
        const Server* server = nullptr;
        End* end = nullptr;
        std::shared_ptr<FakeConnection> connection;
    };

    std::vector<platform::PipeEvent> collect_events(const Server& server);
    bool stalled_connection_of(const Server& server) const;
    bool has_news_for(const Server& server) const;
    std::unique_ptr<End> connect_next(const Server& server);
    bool served(std::string_view name) const;
    void server_ended(const Server& server);
    void end_ended(End& end);

    Faults& faults_;
    FakeSystem& system_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<FakeConnection>> pending_;
    std::set<const Server*> servers_;
    std::map<std::uint64_t, Served> served_;
    std::set<std::string> held_elsewhere_;
    std::uint64_t next_serial_ = 1;
    int open_endpoints_ = 0;
    int servers_created_ = 0;
    int server_checks_ = 0;
    int answers_ = 0;
};

// The frame of one request body: 4-byte little-endian length, then the body.
std::vector<std::uint8_t> frame_of(std::string_view body);

}  // namespace velnaro::fake
