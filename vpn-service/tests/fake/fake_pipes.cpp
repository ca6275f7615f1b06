#include "fake/fake_pipes.hpp"

#include <algorithm>

namespace velnaro::fake {

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

namespace {

PipeIo failed(const char* operation, std::string_view name) {
    return {PipeIoStatus::failed, 0, {5, operation, std::string(name)}};
}

bool answer_taken(const FakeConnection& connection) {
    if (!connection.awaiting_delivery || connection.delivery_reported)
        return false;
    return connection.client_closed ||
           (connection.live ? connection.from_server.empty() : connection.takes_answer);
}

}  // namespace

class FakePipes::Server final : public platform::PipeServer {
  public:
    Server(FakePipes& pipes, std::string name) : pipes_(pipes), name_(std::move(name)) {}
    ~Server() override { pipes_.server_ended(*this); }

    platform::OsResult<std::vector<platform::PipeEvent>> wait_for_events(
        std::chrono::milliseconds limit) override;

    const std::string& name() const { return name_; }

  private:
    FakePipes& pipes_;
    std::string name_;
};

// A server's connection (`served`) or a client's.
class FakePipes::End final : public platform::PipeConnection {
  public:
    End(FakePipes& pipes, std::shared_ptr<FakeConnection> connection, bool served, std::string name)
        : pipes_(pipes),
          connection_(std::move(connection)),
          served_(served),
          name_(std::move(name)) {}
    ~End() override { pipes_.end_ended(*this); }

    PipeIo read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit) override;
    PipeIo write(std::span<const std::uint8_t> data, std::chrono::milliseconds limit) override;
    bool awaits_delivery() override;
    platform::ServerCheck verify_server() override;

    FakeConnection& connection() { return *connection_; }
    bool served() const { return served_; }
    // Set, under the pipes' lock, when the server ends first.
    bool ended = false;

  private:
    PipeIo server_read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit,
                       std::unique_lock<std::mutex>& lock);
    PipeIo client_read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit,
                       std::unique_lock<std::mutex>& lock);

    FakePipes& pipes_;
    std::shared_ptr<FakeConnection> connection_;
    bool served_ = false;
    std::string name_;
};

bool FakePipes::served(std::string_view name) const {
    return std::any_of(servers_.begin(), servers_.end(),
                       [&](const Server* server) { return server->name() == name; });
}

std::expected<std::unique_ptr<platform::PipeServer>, platform::PipeServerError>
FakePipes::create_server(std::string_view name) {
    using platform::PipeServerError;
    if (faults_.should_fail("create_pipe"))
        return std::unexpected(
            PipeServerError{PipeServerError::failed, {5, "create", std::string(name)}});
    std::lock_guard lock(mutex_);
    if (held_elsewhere_.contains(std::string(name)) || served(name)) {
        return std::unexpected(
            PipeServerError{PipeServerError::name_in_use, {231, "create", std::string(name)}});
    }
    auto server = std::make_unique<Server>(*this, std::string(name));
    servers_.insert(server.get());
    ++open_endpoints_;
    ++servers_created_;
    changed_.notify_all();
    return server;
}

void FakePipes::server_ended(const Server& server) {
    std::lock_guard lock(mutex_);
    // A server's connections end with it.
    std::erase_if(served_, [&](auto& entry) {
        if (entry.second.server != &server)
            return false;
        entry.second.connection->disconnected = true;
        entry.second.end->ended = true;
        return true;
    });
    servers_.erase(&server);
    --open_endpoints_;
    changed_.notify_all();
}

void FakePipes::end_ended(End& end) {
    std::lock_guard lock(mutex_);
    if (end.served()) {
        end.connection().disconnected = true;
        std::erase_if(served_, [&](const auto& entry) { return entry.second.end == &end; });
    } else {
        end.connection().client_closed = true;
    }
    --open_endpoints_;
    changed_.notify_all();
}

std::unique_ptr<FakePipes::End> FakePipes::connect_next(const Server& server) {
    auto end = std::make_unique<End>(*this, pending_.front(), true, server.name());
    served_[next_serial_++] = Served{&server, end.get(), pending_.front()};
    ++open_endpoints_;
    pending_.pop_front();
    return end;
}

std::vector<platform::PipeEvent> FakePipes::collect_events(const Server& server) {
    using Kind = platform::PipeEvent::Kind;
    std::vector<platform::PipeEvent> events;
    while (!pending_.empty()) {
        const auto caller = pending_.front()->caller;
        auto end = connect_next(server);
        const platform::PipeConnection* key = end.get();
        events.push_back({Kind::connected, key, std::move(end), caller, {}});
    }
    for (auto& [serial, entry] : served_) {
        if (entry.server != &server)
            continue;
        FakeConnection& connection = *entry.connection;
        if (answer_taken(connection)) {
            connection.delivery_reported = true;
            events.push_back({Kind::delivered, entry.end, nullptr, {}, {}});
        } else if (!connection.to_server.empty()) {
            events.push_back(
                {Kind::received, entry.end, nullptr, {}, connection.to_server.front()});
            connection.to_server.pop_front();
        } else if (!connection.end_reported &&
                   (connection.client_closed ||
                    (!connection.live && connection.end == FakeConnection::End::close))) {
            connection.end_reported = true;
            events.push_back({Kind::closed, entry.end, nullptr, {}, {}});
        }
    }
    return events;
}

bool FakePipes::stalled_connection_of(const Server& server) const {
    return std::any_of(served_.begin(), served_.end(), [&](const auto& entry) {
        return entry.second.server == &server && !entry.second.connection->live &&
               !entry.second.connection->end_reported;
    });
}

bool FakePipes::has_news_for(const Server& server) const {
    return !pending_.empty() || std::any_of(served_.begin(), served_.end(), [&](const auto& entry) {
        const FakeConnection& connection = *entry.second.connection;
        return entry.second.server == &server &&
               (!connection.to_server.empty() || answer_taken(connection) ||
                (connection.client_closed && !connection.end_reported));
    });
}

platform::OsResult<std::vector<platform::PipeEvent>> FakePipes::Server::wait_for_events(
    std::chrono::milliseconds limit) {
    if (pipes_.faults_.should_fail("wait_for_events"))
        return std::unexpected(platform::OsError{5, "wait", name_});
    std::unique_lock lock(pipes_.mutex_);
    auto events = pipes_.collect_events(*this);
    if (!events.empty())
        return events;
    const bool unlimited = limit == platform::kNoTimeLimit;
    if (pipes_.stalled_connection_of(*this) && !unlimited) {
        pipes_.system_.monotonic += limit;
        return events;
    }
    const auto news = [&] { return pipes_.has_news_for(*this); };
    if (pipes_.on_idle) {
        auto idle = pipes_.on_idle;
        lock.unlock();
        idle();
        lock.lock();
    } else if (unlimited) {
        pipes_.changed_.wait(lock, news);
    } else {
        pipes_.changed_.wait_for(lock, limit, news);
    }
    return pipes_.collect_events(*this);
}

std::unique_ptr<platform::PipeConnection> FakePipes::accept(platform::PipeServer& server,
                                                            std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return !pending_.empty(); });
    const auto* ours = dynamic_cast<const Server*>(&server);
    if (pending_.empty() || ours == nullptr)
        return nullptr;
    return connect_next(*ours);
}

bool FakePipes::End::awaits_delivery() {
    std::lock_guard lock(pipes_.mutex_);
    if (!served_ || ended)
        return false;
    connection_->awaiting_delivery = true;
    return true;
}


PipeIo FakePipes::End::server_read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit,
                                   std::unique_lock<std::mutex>& lock) {
    FakeConnection& connection = *connection_;
    if (connection.live) {
        pipes_.changed_.wait_for(
            lock, limit, [&] { return !connection.to_server.empty() || connection.client_closed; });
    }
    if (!connection.to_server.empty()) {
        auto& chunk = connection.to_server.front();
        const std::size_t count = std::min(chunk.size(), buffer.size());
        std::copy_n(chunk.begin(), count, buffer.begin());
        chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
        if (chunk.empty())
            connection.to_server.pop_front();
        return {PipeIoStatus::done, count};
    }
    if (connection.client_closed ||
        (!connection.live && connection.end == FakeConnection::End::close)) {
        return {PipeIoStatus::closed, 0};
    }
    if (!connection.live)
        pipes_.system_.monotonic += limit;
    return {PipeIoStatus::timed_out, 0};
}

PipeIo FakePipes::End::client_read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit,
                                   std::unique_lock<std::mutex>& lock) {
    FakeConnection& connection = *connection_;
    pipes_.changed_.wait_for(
        lock, limit, [&] { return !connection.from_server.empty() || connection.disconnected; });
    if (!connection.from_server.empty()) {
        const std::size_t count = std::min(connection.from_server.size(), buffer.size());
        std::copy_n(connection.from_server.begin(), count, buffer.begin());
        connection.from_server.erase(
            connection.from_server.begin(),
            connection.from_server.begin() + static_cast<std::ptrdiff_t>(count));
        pipes_.changed_.notify_all();  // the server may be waiting for the answer to be taken
        return {PipeIoStatus::done, count};
    }
    return {connection.disconnected ? PipeIoStatus::closed : PipeIoStatus::timed_out, 0};
}

PipeIo FakePipes::End::read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit) {
    if (pipes_.faults_.should_fail("pipe_read"))
        return failed("read", name_);
    std::unique_lock lock(pipes_.mutex_);
    if (ended || buffer.empty())
        return failed("read", name_);
    if (served_)
        return server_read(buffer, limit, lock);
    // A client-only fault, for tests that must not also break the server's reads.
    if (pipes_.faults_.should_fail("client_pipe_read"))
        return failed("read", name_);
    return client_read(buffer, limit, lock);
}

PipeIo FakePipes::End::write(std::span<const std::uint8_t> data, std::chrono::milliseconds) {
    if (pipes_.faults_.should_fail("pipe_write"))
        return failed("write", name_);
    std::lock_guard lock(pipes_.mutex_);
    if (ended || data.empty())
        return failed("write", name_);
    FakeConnection& connection = *connection_;
    if (!served_) {
        if (connection.disconnected)
            return {PipeIoStatus::closed, 0};
        connection.to_server.emplace_back(data.begin(), data.end());
        pipes_.changed_.notify_all();
        return {PipeIoStatus::done, data.size()};
    }
    if (connection.reader_gone)
        return {PipeIoStatus::closed, 0};
    if (connection.answered_as == 0)
        connection.answered_as = ++pipes_.answers_;
    std::size_t count = data.size();
    if (connection.write_chunk_limit != 0)
        count = std::min(count, connection.write_chunk_limit);
    connection.from_server.insert(connection.from_server.end(), data.begin(),
                                  data.begin() + static_cast<std::ptrdiff_t>(count));
    pipes_.changed_.notify_all();
    return {PipeIoStatus::done, count};
}

bool FakePipes::pipe_exists(std::string_view name) {
    std::lock_guard lock(mutex_);
    return held_elsewhere_.contains(std::string(name)) || served(name);
}

std::expected<std::unique_ptr<platform::PipeConnection>, platform::PipeOpenError>
FakePipes::open_client(std::string_view name, std::chrono::milliseconds wait,
                       platform::ClientIdentity identity) {
    using platform::PipeOpenError;
    std::unique_lock lock(mutex_);
    identities.push_back(identity);
    if (open_waits_for_server)
        changed_.wait_for(lock, wait, [&] { return served(name); });
    if (!served(name)) {
        return std::unexpected(
            PipeOpenError{PipeOpenError::unavailable, {2, "open", std::string(name)}});
    }
    lock.unlock();
    if (faults_.should_fail("open_pipe"))
        return std::unexpected(
            PipeOpenError{PipeOpenError::open_failed, {5, "open", std::string(name)}});
    lock.lock();
    auto connection = std::make_shared<FakeConnection>();
    connection->live = true;
    pending_.push_back(connection);
    ++open_endpoints_;
    changed_.notify_all();
    return std::make_unique<End>(*this, std::move(connection), false, std::string(name));
}

platform::ServerCheck FakePipes::End::verify_server() {
    if (pipes_.faults_.should_fail("verify_server"))
        return platform::ServerCheck::unverifiable;
    std::lock_guard lock(pipes_.mutex_);
    ++pipes_.server_checks_;
    if (served_ || ended)
        return platform::ServerCheck::unverifiable;
    return pipes_.server_check;
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
    return open_endpoints_;
}

}  // namespace velnaro::fake
