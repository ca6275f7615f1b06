#include "fake/fake_pipes.hpp"

#include <algorithm>

namespace velnaro::fake {

using platform::PipeHandle;
using platform::PipeIo;
using platform::PipeIoStatus;

std::vector<std::uint8_t> frame_of(std::string_view body) {
    const auto size = static_cast<std::uint32_t>(body.size());
    std::vector<std::uint8_t> frame(4 + body.size());
    for (int i = 0; i < 4; ++i)
        frame[i] = static_cast<std::uint8_t>(size >> (8 * i));
    std::copy(body.begin(), body.end(), frame.begin() + 4);
    return frame;
}

FakePipes::Endpoint* FakePipes::endpoint_of(PipeHandle handle) {
    const auto found = endpoints_.find(handle.value);
    return found == endpoints_.end() ? nullptr : &found->second;
}

bool FakePipes::served(std::string_view name) const {
    return std::any_of(endpoints_.begin(), endpoints_.end(), [&](const auto& entry) {
        return entry.second.kind == Endpoint::Kind::server && entry.second.name == name;
    });
}

std::expected<PipeHandle, platform::PipeServerError> FakePipes::create_server(
    std::string_view name) {
    if (faults_.should_fail("create_pipe"))
        return std::unexpected(platform::PipeServerError::failed);
    std::lock_guard lock(mutex_);
    if (held_elsewhere_.contains(std::string(name)) || served(name))
        return std::unexpected(platform::PipeServerError::name_in_use);
    const std::uintptr_t value = next_handle_++;
    endpoints_[value] = Endpoint{Endpoint::Kind::server, std::string(name), nullptr, 0};
    ++servers_created_;
    changed_.notify_all();
    return PipeHandle{value};
}

PipeHandle FakePipes::connect_next(std::uintptr_t server) {
    const std::uintptr_t value = next_handle_++;
    endpoints_[value] = Endpoint{Endpoint::Kind::served, "", pending_.front(), server};
    pending_.pop_front();
    return PipeHandle{value};
}

std::vector<platform::PipeEvent> FakePipes::collect_events(std::uintptr_t server) {
    using Kind = platform::PipeEvent::Kind;
    std::vector<platform::PipeEvent> events;
    while (!pending_.empty()) {
        const auto caller = pending_.front()->caller;
        events.push_back({Kind::connected, connect_next(server), caller, {}});
    }
    for (auto& [handle, endpoint] : endpoints_) {
        if (endpoint.kind != Endpoint::Kind::served || endpoint.server != server)
            continue;
        FakeConnection& connection = *endpoint.connection;
        if (!connection.to_server.empty()) {
            events.push_back(
                {Kind::received, PipeHandle{handle}, {}, connection.to_server.front()});
            connection.to_server.pop_front();
        } else if (!connection.end_reported &&
                   (connection.client_closed ||
                    (!connection.live && connection.end == FakeConnection::End::close))) {
            connection.end_reported = true;
            events.push_back({Kind::closed, PipeHandle{handle}, {}, {}});
        }
    }
    return events;
}

bool FakePipes::stalled_connection_of(std::uintptr_t server) const {
    return std::any_of(endpoints_.begin(), endpoints_.end(), [&](const auto& entry) {
        const Endpoint& endpoint = entry.second;
        return endpoint.kind == Endpoint::Kind::served && endpoint.server == server &&
               !endpoint.connection->live && !endpoint.connection->end_reported;
    });
}

std::optional<std::vector<platform::PipeEvent>> FakePipes::wait_for_events(
    PipeHandle server, std::chrono::milliseconds limit) {
    if (faults_.should_fail("wait_for_events"))
        return std::nullopt;
    std::unique_lock lock(mutex_);
    const Endpoint* endpoint = endpoint_of(server);
    if (endpoint == nullptr || endpoint->kind != Endpoint::Kind::server)
        return std::nullopt;
    auto events = collect_events(server.value);
    if (!events.empty())
        return events;
    if (stalled_connection_of(server.value)) {
        system_.monotonic += limit;
        return events;
    }
    if (on_idle) {
        auto idle = on_idle;
        lock.unlock();
        idle();
        lock.lock();
    } else {
        changed_.wait_for(lock, limit, [&] {
            bool anything = !pending_.empty();
            for (const auto& [handle, other] : endpoints_) {
                if (other.kind == Endpoint::Kind::served && other.server == server.value) {
                    anything = anything || !other.connection->to_server.empty() ||
                               (other.connection->client_closed && !other.connection->end_reported);
                }
            }
            return anything;
        });
    }
    if (endpoint_of(server) == nullptr)
        return std::nullopt;
    return collect_events(server.value);
}

std::optional<PipeHandle> FakePipes::accept(PipeHandle server, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return !pending_.empty(); });
    if (pending_.empty() || endpoint_of(server) == nullptr)
        return std::nullopt;
    return connect_next(server.value);
}

void FakePipes::flush(PipeHandle connection, std::chrono::milliseconds) {
    std::lock_guard lock(mutex_);
    Endpoint* endpoint = endpoint_of(connection);
    if (endpoint != nullptr && endpoint->connection)
        endpoint->connection->flushed = true;
}

PipeIo FakePipes::server_read(Endpoint& endpoint, std::span<std::uint8_t> buffer,
                              std::chrono::milliseconds limit, std::unique_lock<std::mutex>& lock) {
    const auto connection = endpoint.connection;
    if (!connection)
        return {PipeIoStatus::failed, 0};
    if (connection->live) {
        changed_.wait_for(lock, limit, [&] {
            return !connection->to_server.empty() || connection->client_closed;
        });
    }
    if (!connection->to_server.empty()) {
        auto& chunk = connection->to_server.front();
        const std::size_t count = std::min(chunk.size(), buffer.size());
        std::copy_n(chunk.begin(), count, buffer.begin());
        chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
        if (chunk.empty())
            connection->to_server.pop_front();
        return {PipeIoStatus::done, count};
    }
    if (connection->client_closed ||
        (!connection->live && connection->end == FakeConnection::End::close)) {
        return {PipeIoStatus::closed, 0};
    }
    if (!connection->live)
        system_.monotonic += limit;
    return {PipeIoStatus::timed_out, 0};
}

PipeIo FakePipes::client_read(FakeConnection& connection, std::span<std::uint8_t> buffer,
                              std::chrono::milliseconds limit, std::unique_lock<std::mutex>& lock) {
    changed_.wait_for(lock, limit,
                      [&] { return !connection.from_server.empty() || connection.disconnected; });
    if (!connection.from_server.empty()) {
        const std::size_t count = std::min(connection.from_server.size(), buffer.size());
        std::copy_n(connection.from_server.begin(), count, buffer.begin());
        connection.from_server.erase(
            connection.from_server.begin(),
            connection.from_server.begin() + static_cast<std::ptrdiff_t>(count));
        return {PipeIoStatus::done, count};
    }
    return {connection.disconnected ? PipeIoStatus::closed : PipeIoStatus::timed_out, 0};
}

PipeIo FakePipes::read(PipeHandle pipe, std::span<std::uint8_t> buffer,
                       std::chrono::milliseconds limit) {
    if (faults_.should_fail("pipe_read"))
        return {PipeIoStatus::failed, 0};
    std::unique_lock lock(mutex_);
    Endpoint* endpoint = endpoint_of(pipe);
    if (endpoint == nullptr || buffer.empty())
        return {PipeIoStatus::failed, 0};
    if (endpoint->kind == Endpoint::Kind::served)
        return server_read(*endpoint, buffer, limit, lock);
    // A client-only fault, for tests that must not also break the server's reads.
    if (faults_.should_fail("client_pipe_read"))
        return {PipeIoStatus::failed, 0};
    const auto connection = endpoint->connection;
    return client_read(*connection, buffer, limit, lock);
}

PipeIo FakePipes::write(PipeHandle pipe, std::span<const std::uint8_t> data,
                        std::chrono::milliseconds) {
    if (faults_.should_fail("pipe_write"))
        return {PipeIoStatus::failed, 0};
    std::lock_guard lock(mutex_);
    Endpoint* endpoint = endpoint_of(pipe);
    if (endpoint == nullptr || !endpoint->connection || data.empty()) {
        return {PipeIoStatus::failed, 0};
    }
    FakeConnection& connection = *endpoint->connection;
    if (endpoint->kind == Endpoint::Kind::client) {
        if (connection.disconnected)
            return {PipeIoStatus::closed, 0};
        connection.to_server.emplace_back(data.begin(), data.end());
        changed_.notify_all();
        return {PipeIoStatus::done, data.size()};
    }
    if (connection.reader_gone)
        return {PipeIoStatus::closed, 0};
    if (connection.answered_as == 0)
        connection.answered_as = ++answers_;
    std::size_t count = data.size();
    if (connection.write_chunk_limit != 0)
        count = std::min(count, connection.write_chunk_limit);
    connection.from_server.insert(connection.from_server.end(), data.begin(),
                                  data.begin() + static_cast<std::ptrdiff_t>(count));
    changed_.notify_all();
    return {PipeIoStatus::done, count};
}

void FakePipes::close(PipeHandle pipe) {
    std::lock_guard lock(mutex_);
    Endpoint* endpoint = endpoint_of(pipe);
    if (endpoint == nullptr)
        return;
    if (endpoint->kind == Endpoint::Kind::server) {
        // A server's connections end with it.
        for (auto entry = endpoints_.begin(); entry != endpoints_.end();) {
            const bool owned =
                entry->second.kind == Endpoint::Kind::served && entry->second.server == pipe.value;
            if (owned)
                entry->second.connection->disconnected = true;
            entry = owned ? endpoints_.erase(entry) : std::next(entry);
        }
    } else if (endpoint->kind == Endpoint::Kind::served) {
        endpoint->connection->disconnected = true;
    } else {
        endpoint->connection->client_closed = true;
    }
    endpoints_.erase(pipe.value);
    changed_.notify_all();
}

bool FakePipes::pipe_exists(std::string_view name) {
    std::lock_guard lock(mutex_);
    return held_elsewhere_.contains(std::string(name)) || served(name);
}

std::expected<PipeHandle, platform::PipeOpenError> FakePipes::open_client(
    std::string_view name, std::chrono::milliseconds wait, platform::ClientIdentity identity) {
    std::unique_lock lock(mutex_);
    identities.push_back(identity);
    if (open_waits_for_server)
        changed_.wait_for(lock, wait, [&] { return served(name); });
    if (!served(name))
        return std::unexpected(platform::PipeOpenError::unavailable);
    lock.unlock();
    if (faults_.should_fail("open_pipe")) {
        return std::unexpected(platform::PipeOpenError::open_failed);
    }
    lock.lock();
    auto connection = std::make_shared<FakeConnection>();
    connection->live = true;
    pending_.push_back(connection);
    const std::uintptr_t value = next_handle_++;
    endpoints_[value] = Endpoint{Endpoint::Kind::client, std::string(name), connection, 0};
    changed_.notify_all();
    return PipeHandle{value};
}

platform::ServerCheck FakePipes::verify_server(PipeHandle client) {
    if (faults_.should_fail("verify_server"))
        return platform::ServerCheck::unverifiable;
    std::lock_guard lock(mutex_);
    ++server_checks_;
    const Endpoint* endpoint = endpoint_of(client);
    if (endpoint == nullptr || endpoint->kind != Endpoint::Kind::client)
        return platform::ServerCheck::unverifiable;
    return server_check;
}

std::shared_ptr<FakeConnection> FakePipes::queue_client(
    std::vector<std::vector<std::uint8_t>> chunks, FakeConnection::End end) {
    auto connection = std::make_shared<FakeConnection>();
    connection->to_server.assign(chunks.begin(), chunks.end());
    connection->end = end;
    std::lock_guard lock(mutex_);
    pending_.push_back(connection);
    changed_.notify_all();
    return connection;
}

void FakePipes::hold_name_elsewhere(std::string name) {
    std::lock_guard lock(mutex_);
    held_elsewhere_.insert(std::move(name));
}

int FakePipes::servers_created() const {
    std::lock_guard lock(mutex_);
    return servers_created_;
}

int FakePipes::server_checks() const {
    std::lock_guard lock(mutex_);
    return server_checks_;
}

int FakePipes::open_endpoints() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(endpoints_.size());
}

}  // namespace velnaro::fake
