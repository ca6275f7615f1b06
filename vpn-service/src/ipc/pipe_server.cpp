#include "ipc/pipe_server.hpp"

#include <algorithm>
#include <expected>
#include <map>
#include <optional>
#include <string>

#include "ipc/change_worker.hpp"
#include "ipc_client/frames.hpp"

namespace velnaro {

namespace {

using Clock = std::chrono::steady_clock;

// The open connections: waiting for their request, for their change to be made, or for their
// client to take the answer. Only the wait is shared between them, so none of them holds
// another. Reads are handled on the server's thread as their requests complete; requests that
// change state are handed to the change worker, so at most one change and one read run at
// once. Connections are read, written and closed on the server's thread only.
class OpenConnections {
  public:
    OpenConnections(Runtime& runtime, const RequestContext& context, std::string_view pipe_name,
                    std::shared_ptr<const std::atomic<bool>> stop)
        : runtime_(runtime),
          context_(context),
          // A finished change wakes the server the way a stop does: an idle server's wait
          // has no time limit.
          changes_([&platform = runtime.platform,
                    name = std::string(pipe_name)] { wake_pipe_server(platform, name); },
                   std::move(stop)) {}

    void take(platform::PipeEvent& event) {
        using Kind = platform::PipeEvent::Kind;
        if (event.kind == Kind::connected) {
            admit(event);
            return;
        }
        const auto found = open_.find(event.connection);
        if (found == open_.end())
            return;
        switch (found->second.stage) {
            case Stage::reading:
                break;
            case Stage::changing:  // has said all it is heard for
                return;
            case Stage::delivering:
                if (event.kind != Kind::received)
                    finish(found);
                return;
        }
        if (event.kind == Kind::received) {
            found->second.frame.add(event.bytes);
            if (!found->second.frame.ready())
                return;
        }
        serve(found);
    }

    // A client that has not delivered its request in time is dropped without an answer, one
    // that has not taken its answer in time is dropped with what it left unread. One whose
    // change is queued or running has delivered its request.
    void drop_late(Clock::time_point now) {
        for (auto entry = open_.begin(); entry != open_.end();) {
            const bool late =
                entry->second.stage != Stage::changing && entry->second.deadline <= now;
            entry = late ? finish(entry) : std::next(entry);
        }
    }

    // Writes the answers of the changes finished since the last call.
    void deliver_changes() {
        for (auto& answer : changes_.take_answers()) {
            const auto entry = std::ranges::find_if(
                open_, [&](const auto& open) { return open.second.ticket == answer.ticket; });
            // Gone when the server was replaced while the change ran.
            if (entry == open_.end())
                continue;
            answer_with(entry, answer.body);
        }
    }

    // Until the first deadline, or without a limit when none is pending: a stop comes with
    // a wake-up connection, and so does a finished change.
    std::chrono::milliseconds wait_limit(Clock::time_point now) const {
        std::chrono::milliseconds limit = platform::kNoTimeLimit;
        for (const auto& [key, connection] : open_) {
            if (connection.stage == Stage::changing) {
                limit = std::min(limit, kAnswerCheckInterval);
                continue;
            }
            const auto left =
                connection.deadline <= now
                    ? std::chrono::milliseconds(0)
                    : std::chrono::ceil<std::chrono::milliseconds>(connection.deadline - now);
            limit = std::min(limit, left);
        }
        return limit;
    }

    void close_all() {
        while (!open_.empty())
            finish(open_.begin());
    }

    // The running change finishes and is answered, and its client may take the answer
    // within its time. Everything else ends at once: requests not yet answered, changes not
    // yet begun, and answers still waiting to be taken, so that a client that does not read
    // holds up no stop.
    void stop(platform::PipeServer* server) {
        drop_if([](Stage stage) { return stage != Stage::changing; });
        changes_.stop();
        deliver_changes();
        drop_if([](Stage stage) { return stage == Stage::changing; });
        while (server != nullptr && !open_.empty()) {
            const auto now = runtime_.platform.system.monotonic_now();
            drop_late(now);
            auto events = server->wait_for_events(wait_limit(now));
            if (!events)
                break;
            for (auto& event : *events)
                take_while_stopping(event);
        }
        close_all();
    }

    // Once the stop is set, nobody new is served and no request is begun; a delivery or an
    // end that the open connections report is still taken, so that none of them is kept
    // waiting for an event already seen.
    void take_while_stopping(const platform::PipeEvent& event) {
        using Kind = platform::PipeEvent::Kind;
        if (event.kind != Kind::delivered && event.kind != Kind::closed)
            return;
        const auto found = open_.find(event.connection);
        if (found != open_.end() && found->second.stage != Stage::changing)
            finish(found);
    }

  private:
    enum class Stage {
        reading,     // until its request is complete
        changing,    // its change is queued or running on the worker
        delivering,  // answered; until the client has taken the answer
    };
    struct Connection {
        std::unique_ptr<platform::PipeConnection> pipe;
        platform::PipeCaller caller;
        RequestFrame frame;
        Clock::time_point deadline;
        Stage stage = Stage::reading;
        std::uint64_t ticket = 0;  // its change's, once handed to the worker
    };
    // Keyed by the connection object, which is how the server's events name it.
    using Entry = std::map<const platform::PipeConnection*, Connection>::iterator;

    // A caller the system could not name is refused rather than counted with every other
    // such caller, which would let one of them lock the others out.
    void admit(platform::PipeEvent& event) {
        if (event.caller.account.empty()) {
            event.accepted.reset();  // closed at once
            return;
        }
        if (!event.caller.administrator) {
            std::size_t& count = per_account_[event.caller.account];
            if (count >= kUnansweredPerAccount) {
                event.accepted.reset();
                return;
            }
            ++count;
        }
        const auto deadline = runtime_.platform.system.monotonic_now() + kExchangeTimeLimit;
        const platform::PipeConnection* key = event.accepted.get();
        open_[key] = Connection{std::move(event.accepted), event.caller, {}, deadline};
    }

    void serve(Entry entry) {
        Connection& connection = entry->second;
        auto request = connection.frame.request();
        if (request && request_changes_state(*request) && connection.caller.may_change_state) {
            connection.stage = Stage::changing;
            connection.ticket = ++last_ticket_;
            changes_.submit(connection.ticket,
                            [&runtime = runtime_, &context = context_, caller = connection.caller,
                             request = std::move(*request)]() mutable {
                                return answer_request(runtime, context, caller, std::move(request));
                            });
            return;
        }
        answer_with(entry, answer_request(runtime_, context_, connection.caller, std::move(request)));
    }

    // Writes the answer, if there is one, then ends the connection, or keeps it (still
    // counted for its account) until its client has taken the answer or the time for that
    // has passed.
    void answer_with(Entry entry, const std::optional<std::vector<std::uint8_t>>& body) {
        Connection& connection = entry->second;
        const auto now = runtime_.platform.system.monotonic_now();
        if (!body || !write_response(*connection.pipe, *body, now + kExchangeTimeLimit) ||
            !connection.pipe->awaits_delivery()) {
            finish(entry);
            return;
        }
        connection.stage = Stage::delivering;
        connection.deadline = now + kExchangeTimeLimit;
    }

    // Header and body in one write, so that a client never sees one without the other
    // unless the connection breaks. The frame fits the connection's buffer, so the write
    // does not wait for the client to read.
    bool write_response(platform::PipeConnection& pipe, const std::vector<std::uint8_t>& body,
                        Clock::time_point deadline) {
        const auto header = frame_header(static_cast<std::uint32_t>(body.size()));
        std::vector<std::uint8_t> frame(header.begin(), header.end());
        frame.insert(frame.end(), body.begin(), body.end());
        return write_all(runtime_.platform, pipe, frame, deadline) == TransferEnd::complete;
    }

    void uncount(const platform::PipeCaller& caller) {
        const auto account = per_account_.find(caller.account);
        if (!caller.administrator && account != per_account_.end() && --account->second == 0)
            per_account_.erase(account);
    }

    template <class Which>
    void drop_if(Which which) {
        for (auto entry = open_.begin(); entry != open_.end();)
            entry = which(entry->second.stage) ? finish(entry) : std::next(entry);
    }

    Entry finish(Entry entry) {
        uncount(entry->second.caller);
        return open_.erase(entry);  // ends the connection
    }

    Runtime& runtime_;
    const RequestContext& context_;
    std::map<const platform::PipeConnection*, Connection> open_;
    std::map<std::string, std::size_t> per_account_;
    std::uint64_t last_ticket_ = 0;
    // Last: destroyed first, so its thread has ended before the connections go.
    ChangeWorker changes_;
};

DetailCode code_of(const platform::PipeServerError& error) {
    return error.reason == platform::PipeServerError::name_in_use
               ? DetailCode::IPC_PIPE_IN_USE
               : DetailCode::IPC_PIPE_CREATE_FAILED;
}

// What went wrong with the pipe, and in which call.
std::string pipe_failure(std::string_view what, const platform::OsError& os) {
    return std::string(what) + " (" + os.operation + ")";
}

// The server of `pipe_name`, or why there is none, with the call that refused it.
Outcome<std::unique_ptr<platform::PipeServer>> take_name(platform::Platform& platform,
                                                         std::string_view pipe_name) {
    auto server = platform.pipes.create_server(pipe_name);
    if (!server)
        return fail(code_of(server.error()), std::move(server.error().os));
    return std::move(*server);
}

}  // namespace

Outcome<void> run_pipe_server(Runtime& runtime, RequestContext context,
                       std::shared_ptr<std::atomic<bool>> stop, std::string_view pipe_name) {
    platform::Platform& platform = runtime.platform;
    auto server = take_name(platform, pipe_name);
    if (!server)
        return fail(server.error());
    OpenConnections connections(runtime, context, pipe_name, stop);
    Outcome<void> outcome;
    while (!stop->load()) {
        const auto now = platform.system.monotonic_now();
        connections.drop_late(now);
        auto events = (*server)->wait_for_events(connections.wait_limit(now));
        if (!events) {
            // A broken server is replaced; when even that fails the name is lost for good.
            platform::write_failure(
                platform.log, platform::LogPriority::warning, std::nullopt,
                pipe_failure("the pipe server broke and is replaced", events.error()),
                events.error());
            connections.close_all();
            server->reset();
            server = take_name(platform, pipe_name);
            if (!server) {
                outcome = fail(server.error());
                break;
            }
            continue;
        }
        for (auto& event : *events) {
            // Whoever comes once the stop is set is the wake-up, or raced it: no answer.
            if (stop->load())
                connections.take_while_stopping(event);
            else
                connections.take(event);
        }
        connections.deliver_changes();
    }
    connections.stop(server ? server->get() : nullptr);
    return outcome;
}

void wake_pipe_server(platform::Platform& platform, std::string_view pipe_name) {
    // The connection ends as soon as it is made.
    (void)platform.pipes.open_client(pipe_name, std::chrono::milliseconds(0),
                                     platform::ClientIdentity::anonymous);
}

}  // namespace velnaro
