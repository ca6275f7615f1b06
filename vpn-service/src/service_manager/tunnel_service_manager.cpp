#include "service_manager/tunnel_service_manager.hpp"

#include <chrono>

#include "platform/paths.hpp"
#include "service_manager/tunnel_registration.hpp"

namespace velnaro {
namespace {

namespace access = platform::access;
namespace state = platform::service_state;

constexpr std::uint32_t kManagerConfigure = access::kManagerConnect | access::kManagerCreateService;
constexpr std::uint32_t kServiceConfigure =
    access::kServiceQueryConfig | access::kServiceChangeConfig | access::kServiceQueryStatus |
    access::kServiceStart | access::kServiceStop;
constexpr std::uint32_t kServiceStart = access::kServiceQueryStatus | access::kServiceStart;
constexpr std::uint32_t kServiceStop = access::kServiceQueryStatus | access::kServiceStop;
constexpr auto kStopDeadline = std::chrono::seconds(15);
constexpr auto kStopPollInterval = std::chrono::milliseconds(100);

Outcome<std::string> tunnel_executable(platform::Platform& platform) {
    auto executable = platform.system.executable_path();
    if (!executable)
        return fail(DetailCode::EXECUTABLE_PATH_UNAVAILABLE, std::move(executable.error()));
    if (!is_absolute_path(*executable) ||
        platform.files.path_kind(*executable) != platform::PathKind::regular_file) {
        return fail(DetailCode::EXECUTABLE_PATH_INVALID);
    }
    return *executable;
}

// Creates the service, or rewrites the whole registration of an existing one.
Outcome<platform::OwnedScHandle> register_service(
    platform::ServiceControl& services, platform::ScHandle manager,
    const platform::ServiceRegistration& registration) {
    auto existing = services.open_service(manager, kTunnelServiceName, kServiceConfigure);
    if (existing) {
        if (auto changed = services.change_service_config(existing->get(), registration);
            !changed) {
            return fail(DetailCode::TUNNEL_SERVICE_UPDATE_FAILED, changed.error());
        }
        return std::move(*existing);
    }
    auto created = services.create_service(manager, registration, kServiceConfigure);
    if (!created)
        return fail(DetailCode::TUNNEL_SERVICE_CREATE_FAILED, created.error());
    return std::move(*created);
}

// The tunnel's service, opened with the rights a call needs, and the manager handle it was
// opened through; the service handle is empty when the tunnel is not installed (or may not be
// opened). Declared in this order, the service handle is closed first.
struct TunnelService {
    platform::OwnedScHandle manager;
    platform::OwnedScHandle service;
};

Outcome<TunnelService> open_tunnel_service(platform::ServiceControl& services,
                                           std::uint32_t rights) {
    auto manager = services.open_manager(access::kManagerConnect);
    if (!manager)
        return fail(DetailCode::SERVICE_MANAGER_UNAVAILABLE, manager.error());
    TunnelService tunnel{std::move(*manager), {}};
    if (auto service = services.open_service(tunnel.manager.get(), kTunnelServiceName, rights))
        tunnel.service = std::move(*service);
    return tunnel;
}

Outcome<void> describe_service(platform::ServiceControl& services, platform::ScHandle service) {
    if (auto described = or_fail(
            services.set_service_description(service, kTunnelServiceDescription),
            DetailCode::TUNNEL_SERVICE_DESCRIPTION_FAILED);
        !described) {
        return described;
    }
    if (auto typed = or_fail(
            services.set_service_sid_type(service, platform::kServiceSidTypeUnrestricted),
            DetailCode::TUNNEL_SERVICE_SID_FAILED);
        !typed) {
        return typed;
    }
    auto sid_type = services.query_service_sid_type(service);
    if (!sid_type)
        return fail(DetailCode::TUNNEL_SERVICE_SID_QUERY_FAILED, sid_type.error());
    if (*sid_type != platform::kServiceSidTypeUnrestricted) {
        return fail(DetailCode::TUNNEL_SERVICE_SID_INVALID);
    }
    if (auto kept = or_fail(services.set_required_privileges(service, kTunnelServicePrivileges),
                            DetailCode::TUNNEL_SERVICE_HARDENING_FAILED);
        !kept) {
        return kept;
    }
    return or_fail(services.set_recovery(service, kRestartOnFailure),
                   DetailCode::TUNNEL_SERVICE_HARDENING_FAILED);
}

Outcome<std::uint32_t> current_state(platform::ServiceControl& services,
                                     platform::ScHandle service) {
    auto current = services.query_service_state(service);
    if (!current)
        return fail(DetailCode::TUNNEL_SERVICE_STATUS_FAILED, current.error());
    return *current;
}

// Sends the stop control unless a stop is already pending, then waits for STOPPED, all within
// one 15-second budget. A service still starting (START_PENDING: the tunnel reads its
// configuration, resolves the endpoint, creates the adapter) accepts no control, so a refused
// stop is followed by a query: STOPPED is success, START_PENDING is asked again every 100 ms
// until it takes the stop. The first query follows an accepted stop at once, the next ones the
// end of the stop's job where the manager tells it (systemd), or 100 ms; a stop still pending
// at the deadline stays pending at the manager.
Outcome<void> stop_and_wait(platform::Platform& platform, platform::ScHandle service,
                     std::uint32_t current) {
    platform::ServiceControl& services = platform.services;
    const auto deadline = platform.system.monotonic_now() + kStopDeadline;
    bool stop_sent = current == state::kStopPending;
    bool was_starting = current == state::kStartPending;
    while (true) {
        auto stop = stop_sent ? platform::OsResult<void>{} : services.stop_service(service);
        if (!stop) {
            auto now_state = current_state(services, service);
            if (!now_state)
                return fail(now_state.error());
            if (*now_state == state::kStopped)
                return {};
            // RUNNING right after START_PENDING: the start ended between the refusal and the
            // query, so the stop is sent once more; a running service that refuses is final.
            const bool just_started = was_starting && *now_state == state::kRunning;
            was_starting = *now_state == state::kStartPending;
            if (!was_starting && !just_started && *now_state != state::kStopPending)
                return fail(DetailCode::TUNNEL_SERVICE_STOP_FAILED, stop.error());
            stop_sent = *now_state == state::kStopPending;
        } else {
            stop_sent = true;
        }
        if (platform.system.monotonic_now() >= deadline) {
            return fail(DetailCode::TUNNEL_SERVICE_STOP_TIMEOUT);
        }
        if (stop_sent) {
            auto now_state = current_state(services, service);
            if (!now_state)
                return fail(now_state.error());
            if (*now_state == state::kStopped)
                return {};
        }
        // systemd says when the stop's job has ended; elsewhere the state is asked again.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - platform.system.monotonic_now());
        if (!stop_sent || !services.await_requested_change(service, left))
            platform.system.sleep_for(kStopPollInterval);
    }
}

// A tunnel service that ended by itself with a failure: its detail code, from the stable
// number it exited with, or TUNNEL_SERVICE_FAILED when it gave none of ours.
std::optional<DetailCode> failure_of(const platform::ServiceStatus& status) {
    if (status.current_state != state::kStopped || status.win32_exit_code == 0 ||
        status.win32_exit_code == platform::kErrorServiceNeverStarted) {
        return std::nullopt;
    }
    if (status.win32_exit_code == platform::kErrorServiceSpecificError) {
        if (auto code = detail_code_from_stable_number(status.service_specific_exit_code))
            return code;
    }
    return DetailCode::TUNNEL_SERVICE_FAILED;
}

ConnectionState connection_state_of(std::uint32_t service_state) {
    switch (service_state) {
        case state::kStartPending:
        case state::kContinuePending:
            return ConnectionState::CONNECTING;
        case state::kRunning:
            return ConnectionState::CONNECTED;
        case state::kPausePending:
            return ConnectionState::DEGRADED;
        default:
            return ConnectionState::DISCONNECTED;  // stopped, stopping, paused
    }
}

}  // namespace

Outcome<void> configure_tunnel_service(platform::Platform& platform,
                                       std::string_view config_path) {
    if (!is_tunnel_config_path(config_path))
        return fail(DetailCode::TUNNEL_CONFIG_PATH_INVALID);
    platform::ServiceControl& services = platform.services;
    const auto manager = services.open_manager(kManagerConfigure);
    if (!manager)
        return fail(DetailCode::SERVICE_MANAGER_UNAVAILABLE, manager.error());
    auto executable = tunnel_executable(platform);
    if (!executable)
        return fail(executable.error());

    const auto service = register_service(services, manager->get(),
                                          tunnel_service_registration(*executable, config_path));
    if (!service)
        return fail(service.error());
    return describe_service(services, service->get());
}

Outcome<void> start_tunnel_service(platform::Platform& platform) {
    platform::ServiceControl& services = platform.services;
    const auto tunnel = open_tunnel_service(services, kServiceStart);
    if (!tunnel)
        return fail(tunnel.error());
    const platform::ScHandle service = tunnel->service.get();
    if (!tunnel->service)
        return fail(DetailCode::TUNNEL_SERVICE_NOT_INSTALLED);
    auto current = current_state(services, service);
    if (!current)
        return fail(current.error());
    switch (*current) {
        case state::kStopped:
            return or_fail(services.start_service(service),
                           DetailCode::TUNNEL_SERVICE_START_FAILED);
        case state::kStartPending:
        case state::kRunning:
            return {};
        default:
            return fail(DetailCode::TUNNEL_SERVICE_BUSY);
    }
}

Outcome<void> stop_tunnel_service(platform::Platform& platform) {
    const auto tunnel = open_tunnel_service(platform.services, kServiceStop);
    if (!tunnel)
        return fail(tunnel.error());
    if (!tunnel->service)
        return {};  // nothing to stop
    auto current = current_state(platform.services, tunnel->service.get());
    if (!current)
        return fail(current.error());
    if (*current == state::kStopped)
        return {};
    return stop_and_wait(platform, tunnel->service.get(), *current);
}

Outcome<ConnectionState> query_tunnel_service(platform::Platform& platform, TunnelFailure failure,
                                             const std::function<void()>& meanwhile) {
    const auto tunnel = open_tunnel_service(platform.services, access::kServiceQueryStatus);
    if (!tunnel)
        return fail(tunnel.error());
    if (!tunnel->service)
        return ConnectionState::DISCONNECTED;
    auto status = meanwhile ? platform.services.query_service_status_while(tunnel->service.get(),
                                                                           meanwhile)
                            : platform.services.query_service_status(tunnel->service.get());
    if (!status)
        return fail(DetailCode::TUNNEL_SERVICE_STATUS_FAILED, std::move(status.error()));
    if (failure == TunnelFailure::reported) {
        if (auto code = failure_of(*status))
            return fail(*code);
    }
    return connection_state_of(status->current_state);
}

// Part of stopping the tunnel: a failure is the stop's, and carries the OS error.
Outcome<void> release_tunnel_routes(platform::Platform& platform) {
    return or_fail(platform.ranges.release(), DetailCode::TUNNEL_SERVICE_STOP_FAILED);
}

Outcome<void> remove_tunnel_service(platform::Platform& platform) {
    if (auto stopped = stop_tunnel_service(platform); !stopped)
        return stopped;
    const auto tunnel = open_tunnel_service(platform.services, access::kDelete);
    if (!tunnel)
        return fail(tunnel.error());
    if (tunnel->service) {
        if (auto deleted = or_fail(platform.services.delete_service(tunnel->service.get()),
                                   DetailCode::TUNNEL_SERVICE_DELETE_FAILED);
            !deleted)
            return deleted;
    }
    return release_tunnel_routes(platform);
}

}  // namespace velnaro
