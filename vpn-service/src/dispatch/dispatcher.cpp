#include "dispatch/dispatcher.hpp"

#include <string>

#include "dispatch/unlinked_tunnel_controller.hpp"
#include "identity/identity_lifecycle.hpp"
#include "protocol/commands.hpp"

namespace velnaro {
namespace {

ServiceResponse error(DetailCode code) {
    return ErrorResponse{ErrorPayload{code}};
}

ServiceResponse accepted_or_error(const Status& status) {
    if (!status) {
        return error(status.error());
    }
    return AcceptedResponse{};
}

ServiceResponse identity_or_error(const Result<DeviceIdentity>& identity) {
    if (!identity) {
        return error(identity.error());
    }
    return PublicIdentityResponse{public_identity_of(*identity)};
}

class Dispatcher {
  public:
    Dispatcher(Runtime& runtime, const RequestContext& context)
        : runtime_(runtime), context_(context) {}

    ServiceResponse operator()(const GetVersion&) { return VersionResponse{}; }
    ServiceResponse operator()(const GetStatus&) { return StatusResponse{controller().status()}; }

    ServiceResponse operator()(const EnsureIdentity&) { return ensure(); }
    // Not a read-only query: a missing identity is created here too.
    ServiceResponse operator()(const GetPublicIdentity&) { return ensure(); }

    ServiceResponse operator()(const ApplyConfig& request) {
        return accepted_or_error(controller().apply_config(request.config));
    }
    ServiceResponse operator()(const Start&) { return accepted_or_error(controller().start()); }
    ServiceResponse operator()(const Stop&) { return accepted_or_error(controller().stop()); }
    ServiceResponse operator()(const Repair&) { return accepted_or_error(controller().repair()); }

    ServiceResponse operator()(const PrepareIdentityRotation&) {
        return on_identity_files([&](std::string_view storage) {
            return identity_or_error(prepare_rotation(runtime_, storage));
        });
    }
    ServiceResponse operator()(const CommitIdentityRotation&) {
        return on_identity_files([&](std::string_view storage) {
            return accepted_or_error(commit_rotation(runtime_, storage));
        });
    }
    ServiceResponse operator()(const AbortIdentityRotation&) {
        return on_identity_files([&](std::string_view storage) {
            return accepted_or_error(abort_rotation(runtime_, storage));
        });
    }

  private:
    ServiceResponse ensure() {
        return on_identity_files([&](std::string_view storage) {
            return identity_or_error(ensure_identity(runtime_, storage));
        });
    }

    // Every identity operation holds the files for its whole length, so that one answered
    // while another runs on the change worker sees them all old or all new.
    template <typename Operation>
    ServiceResponse on_identity_files(Operation operation) {
        if (!context_.identity_storage) {
            return error(DetailCode::IDENTITY_STORAGE_UNAVAILABLE);
        }
        std::lock_guard files(*context_.identity_files);
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
};

// One line per request that changes state and per refusal: the command and the outcome's
// code, never the payload (it may carry a configuration).
void log_outcome(platform::Log& log, std::string_view command, const ServiceResponse& response,
                 bool polled) {
    if (const auto* refused = std::get_if<ErrorResponse>(&response)) {
        const DetailCode code = refused->payload.code;
        log.write(platform::LogPriority::warning, code,
                  std::string(command) + " refused: " + std::string(to_text(code)));
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
    ServiceResponse response = std::visit(Dispatcher(runtime, context), std::move(request));
    log_outcome(runtime.platform.log, command, response, polled);
    return response;
}

}  // namespace velnaro
