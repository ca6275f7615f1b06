#include "dispatch/dispatcher.hpp"

#include <string>
#include <utility>

#include "dispatch/unlinked_tunnel_controller.hpp"
#include "identity/identity_lifecycle.hpp"
#include "protocol/commands.hpp"

namespace velnaro {
namespace {

ServiceResponse error(DetailCode code) {
    return ErrorResponse{ErrorPayload{code}};
}

class Dispatcher {
  public:
    Dispatcher(Runtime& runtime, const RequestContext& context)
        : runtime_(runtime), context_(context) {}

    // Why the system refused the call a refusal came from, when it is known.
    const std::optional<OsError>& cause() const { return cause_; }

    ServiceResponse operator()(const GetVersion&) { return VersionResponse{}; }
    ServiceResponse operator()(const GetStatus&) { return StatusResponse{controller().status()}; }

    ServiceResponse operator()(const EnsureIdentity&) { return ensure(); }
    // Not a read-only query: a missing identity is created here too. While a change holds
    // the identity, the identity in force is answered without waiting for it.
    ServiceResponse operator()(const GetPublicIdentity&) {
        return on_identity([&](IdentityKeeper& keeper) {
            auto identity = keeper.public_identity(runtime_);
            if (!identity)
                return refused(std::move(identity.error()));
            return ServiceResponse{PublicIdentityResponse{std::move(*identity)}};
        });
    }

    ServiceResponse operator()(const ApplyConfig& request) {
        return accepted_or_refused(controller().apply_config(request.config));
    }
    ServiceResponse operator()(const Start&) { return accepted_or_refused(controller().start()); }
    ServiceResponse operator()(const Stop&) { return accepted_or_refused(controller().stop()); }
    ServiceResponse operator()(const Repair&) {
        return accepted_or_refused(controller().repair());
    }

    ServiceResponse operator()(const PrepareIdentityRotation&) {
        return on_identity([&](IdentityKeeper& keeper) {
            return identity_or_refused(keeper.prepare_rotation(runtime_));
        });
    }
    ServiceResponse operator()(const CommitIdentityRotation&) {
        return on_identity([&](IdentityKeeper& keeper) {
            return accepted_or_refused(keeper.commit_rotation(runtime_));
        });
    }
    ServiceResponse operator()(const AbortIdentityRotation&) {
        return on_identity([&](IdentityKeeper& keeper) {
            return accepted_or_refused(keeper.abort_rotation(runtime_));
        });
    }

  private:
    // The answer tells the code; the cause is kept for the log line.
    ServiceResponse refused(Failure failure) {
        cause_ = std::move(failure.cause);
        return error(failure.code);
    }
    ServiceResponse accepted_or_refused(Outcome<void> outcome) {
        if (!outcome)
            return refused(std::move(outcome.error()));
        return AcceptedResponse{};
    }
    ServiceResponse identity_or_refused(Outcome<DeviceIdentity> identity) {
        if (!identity)
            return refused(std::move(identity.error()));
        return PublicIdentityResponse{public_identity_of(*identity)};
    }

    ServiceResponse ensure() {
        return on_identity(
            [&](IdentityKeeper& keeper) { return identity_or_refused(keeper.ensure(runtime_)); });
    }

    // The keeper holds the files for each whole operation.
    template <typename Operation>
    ServiceResponse on_identity(Operation operation) {
        if (!context_.identity_storage) {
            return error(DetailCode::IDENTITY_STORAGE_UNAVAILABLE);
        }
        return operation(*context_.identity_storage);
    }

    // A context built without a controller answers like one without WireGuard rather
    // than dereferencing nothing.
    TunnelController& controller() {
        if (context_.controller) {
            return *context_.controller;
        }
        return fallback_;
    }

    Runtime& runtime_;
    const RequestContext& context_;
    UnlinkedTunnelController fallback_;
    std::optional<OsError> cause_;
};

// Whether the answer to a read differs from the one it had last time; what it is now is kept.
bool read_answer_changed(RequestContext::ReadRefusals& refusals, std::string_view command,
                         std::optional<DetailCode> refused_with) {
    std::lock_guard lock(refusals.mutex);
    auto [entry, added] = refusals.last.try_emplace(std::string(command), refused_with);
    if (added)
        return true;
    return std::exchange(entry->second, refused_with) != refused_with;
}

// One line per request that changes state and per refusal: the command and the outcome's
// code, never the payload (it may carry a configuration). A read that any account may send
// is logged once per change of its answer, so that polling a lasting failure (or sending the
// same read in a loop) cannot flood the journal and push out the lines that matter.
void log_outcome(platform::Log& log, const RequestContext& context, std::string_view command,
                 const ServiceResponse& response, const std::optional<OsError>& cause,
                 bool polled) {
    const auto* refused = std::get_if<ErrorResponse>(&response);
    if (polled) {
        const auto code = refused ? std::optional(refused->payload.code) : std::nullopt;
        if (!read_answer_changed(*context.read_refusals, command, code))
            return;
    }
    if (refused) {
        Failure failure(refused->payload.code);
        failure.cause = cause;
        platform::write_failure(log, platform::LogPriority::warning, failure,
                                std::string(command) + " refused: " +
                                    std::string(to_text(failure.code)));
        return;
    }
    if (!polled)
        log.write(platform::LogPriority::notice, std::nullopt, std::string(command) + " done");
}

}  // namespace

ServiceResponse handle_request(Runtime& runtime, const RequestContext& context,
                               ServiceRequest request) {
    const Command& row = command_of(request);
    const std::string command(row.wire_name);
    // Reads a desktop client polls every second leave no line when they succeed.
    const bool polled = row.polled;
    // Taken by value: a configuration the request carries is released when this returns.
    Dispatcher dispatcher(runtime, context);
    ServiceResponse response = std::visit(dispatcher, std::move(request));
    log_outcome(runtime.platform.log, context, command, response, dispatcher.cause(), polled);
    return response;
}

}  // namespace velnaro
