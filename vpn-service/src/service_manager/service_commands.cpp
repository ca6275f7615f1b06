#include "service_manager/service_commands.hpp"

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <nlohmann/json.hpp>
#include <utility>

#include "core/command_line.hpp"
#include "core/version.hpp"
#include "platform/paths.hpp"
#include "service_manager/tunnel_registration.hpp"
#include "service_manager/tunnel_service_manager.hpp"
#include "wireguard/component_location.hpp"

namespace velnaro {

namespace {

using platform::ScHandle;
namespace access = platform::access;

// The state a status or an uninstall reports when there is no service.
constexpr std::string_view kNotInstalled = "NOT_INSTALLED";

// A record marked for deletion goes once its service has stopped (a running change, then up
// to 5 s for an unread answer) and every handle to it is closed. An uninstall waits for that
// so that an upgrade's install right after finds no record about to go; an install that
// finds one anyway waits for it to go, then creates the service anew.
constexpr auto kRemovalWait = std::chrono::seconds(30);
constexpr auto kRemovalPoll = std::chrono::milliseconds(250);

bool marked_for_deletion(const platform::OsError& os) {
    return os.code == platform::kErrorServiceMarkedForDelete;
}

constexpr std::array<std::string_view, 7> kStateNames = {
    "STOPPED",          "START_PENDING", "STOP_PENDING", "RUNNING",
    "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};

std::optional<std::string_view> state_name(std::uint32_t state) {
    if (state < 1 || state > kStateNames.size())
        return std::nullopt;
    return kStateNames[state - 1];
}

ServiceCommandResult passed(std::string_view state) {
    return {true, state, std::nullopt};
}
ServiceCommandResult install_failed(Failure failure) {
    return {false, "INSTALL_FAILED", std::move(failure)};
}
ServiceCommandResult uninstall_failed(Failure failure) {
    return {false, "UNINSTALL_FAILED", std::move(failure)};
}

// The service's state, one of the seven the manager defines.
Outcome<std::uint32_t> known_state(platform::Platform& platform, ScHandle service) {
    const auto state = platform.services.query_service_state(service);
    if (!state)
        return fail(DetailCode::SERVICE_STATUS_QUERY_FAILED, state.error());
    if (!state_name(*state))
        return fail(DetailCode::SERVICE_STATUS_QUERY_FAILED);
    return *state;
}

ServiceCommandResult start_existing(platform::Platform& platform, ScHandle service) {
    platform::ServiceControl& services = platform.services;
    const auto sid_type = services.query_service_sid_type(service);
    if (!sid_type)
        return install_failed(Failure(DetailCode::SERVICE_SID_QUERY_FAILED, sid_type.error()));
    if (*sid_type != platform::kServiceSidTypeUnrestricted) {
        return install_failed(Failure(DetailCode::SERVICE_SID_INVALID));
    }
    const auto state = known_state(platform, service);
    if (!state)
        return install_failed(state.error());
    if (*state == platform::service_state::kStopped) {
        if (auto started = services.start_service(service); !started)
            return install_failed(Failure(DetailCode::SERVICE_START_FAILED, started.error()));
    }
    return passed("ALREADY_INSTALLED");
}

// The running executable, once it is known to be a file only the administrators can change.
Outcome<std::string> service_executable(platform::Platform& platform) {
    auto executable = platform.system.executable_path();
    if (!executable)
        return fail(DetailCode::EXECUTABLE_PATH_UNAVAILABLE, std::move(executable.error()));
    if (!is_absolute_path(*executable) ||
        platform.files.path_kind(*executable) != platform::PathKind::regular_file) {
        return fail(DetailCode::EXECUTABLE_PATH_INVALID);
    }
    // The service runs this executable and the components beside it with the highest rights
    // of the machine, so nobody else may be able to change them. The component folder may
    // still be missing; its parent is then covered by the check of the executable.
    const auto parent = parent_directory(*executable);
    std::optional<std::string> components;
    if (parent) {
        if (auto found = platform.files.canonical_directory(join_path(*parent, "vpn")))
            components = std::move(*found);
    }
    // Judged with the service's trust, not the installing account's: files that only this
    // administrator's own account owns would pass here and be refused by the service.
    if (!wireguard::location_is_safe(platform, *executable, components,
                                     platform::TrustedOwners::service))
        return fail(DetailCode::SERVICE_LOCATION_UNSAFE);
    return *executable;
}

// Nothing while the name is still held by a record marked for deletion.
std::optional<ServiceCommandResult> create_and_start(platform::Platform& platform,
                                                     ScHandle manager) {
    const auto executable = service_executable(platform);
    if (!executable)
        return install_failed(executable.error());
    const platform::ServiceRegistration registration = service_registration(*executable);
    platform::ServiceControl& services = platform.services;
    const auto created =
        services.create_service(manager, registration,
                                access::kServiceQueryConfig | access::kServiceChangeConfig |
                                    access::kServiceQueryStatus | access::kServiceStart);
    if (!created && marked_for_deletion(created.error()))
        return std::nullopt;
    if (!created)
        return install_failed(Failure(DetailCode::SERVICE_CREATE_FAILED, created.error()));
    const ScHandle service = created->get();
    // Each step in turn; the first refusal names the install's detail code.
    const std::pair<DetailCode, std::function<platform::OsResult<void>()>> steps[] = {
        {DetailCode::SERVICE_DESCRIPTION_FAILED,
         [&] { return services.set_service_description(service, kServiceDescription); }},
        {DetailCode::SERVICE_SID_CONFIGURATION_FAILED,
         [&] {
             return services.set_service_sid_type(service, platform::kServiceSidTypeUnrestricted);
         }},
        {DetailCode::SERVICE_HARDENING_FAILED,
         [&] { return services.set_required_privileges(service, kServicePrivileges); }},
        {DetailCode::SERVICE_HARDENING_FAILED,
         [&] { return services.set_recovery(service, kRestartOnFailure); }},
        {DetailCode::SERVICE_START_FAILED, [&] { return services.start_service(service); }},
    };
    for (const auto& [code, step] : steps) {
        if (auto done = step(); !done)
            return install_failed(Failure(code, done.error()));
    }
    return passed("INSTALLED");
}

}  // namespace

platform::ServiceRegistration service_registration(std::string_view executable) {
    platform::ServiceRegistration registration;
    registration.name = std::string(kServiceName);
    registration.display_name = std::string(kServiceDisplayName);
    registration.command_line =
        quote_command_line_argument(executable) + " " + quote_command_line_argument(kServiceModeArgument);
    registration.dependencies = {"Nsi", "TcpIp"};
    return registration;
}

namespace {

// The install's result, or nothing while the service's record is marked for deletion.
std::optional<ServiceCommandResult> install_once(platform::Platform& platform, ScHandle manager) {
    platform::ServiceControl& services = platform.services;
    const auto existing =
        services.open_service(manager, kServiceName,
                              access::kServiceQueryConfig | access::kServiceChangeConfig |
                                  access::kServiceQueryStatus | access::kServiceStart);
    if (existing) {
        // Still reads RUNNING, yet goes as soon as the old process ends: not "installed".
        if (services.marked_for_deletion(existing->get()).value_or(false))
            return std::nullopt;
        return start_existing(platform, existing->get());
    }
    if (marked_for_deletion(existing.error().os))
        return std::nullopt;
    return create_and_start(platform, manager);
}

}  // namespace

ServiceCommandResult install_service(platform::Platform& platform) {
    platform::ServiceControl& services = platform.services;
    const auto manager =
        services.open_manager(access::kManagerConnect | access::kManagerCreateService);
    if (!manager)
        return install_failed(Failure(DetailCode::SERVICE_MANAGER_ACCESS_DENIED, manager.error()));
    const auto give_up_at = platform.system.monotonic_now() + kRemovalWait;
    while (true) {
        if (auto result = install_once(platform, manager->get()))
            return *result;
        if (platform.system.monotonic_now() >= give_up_at) {
            const platform::OsError os{platform::kErrorServiceMarkedForDelete, "create_service",
                                       std::string(kServiceName)};
            return install_failed(
                Failure(DetailCode::SERVICE_CREATE_FAILED, os));
        }
        platform.system.sleep_for(kRemovalPoll);
    }
}

namespace {

// Until the service has stopped and its record is gone, or the wait's bound has passed. The
// record was marked already: it goes whether or not this sees it go, so the result is the
// same either way.
void wait_for_removal(platform::Platform& platform, ScHandle manager,
                      platform::OwnedScHandle service) {
    platform::ServiceControl& services = platform.services;
    const auto give_up_at = platform.system.monotonic_now() + kRemovalWait;
    const auto waiting = [&] { return platform.system.monotonic_now() < give_up_at; };
    while (waiting()) {
        const auto state = services.query_service_state(service.get());
        if (!state || *state == platform::service_state::kStopped)
            break;
        platform.system.sleep_for(kRemovalPoll);
    }
    service.reset();  // the record waits for this handle too
    // Until it is no longer there as marked: a packaged unit on Linux stays, unmarked.
    while (waiting()) {
        const auto again = services.open_service(
            manager, kServiceName, access::kServiceQueryStatus | access::kServiceChangeConfig);
        const bool marked = again ? services.marked_for_deletion(again->get()).value_or(false)
                                  : marked_for_deletion(again.error().os);
        if (!marked)
            return;
        platform.system.sleep_for(kRemovalPoll);
    }
}

}  // namespace

ServiceCommandResult uninstall_service(platform::Platform& platform) {
    if (auto removed = remove_tunnel_service(platform); !removed) {
        return uninstall_failed(removed.error());
    }
    platform::ServiceControl& services = platform.services;
    const auto manager = services.open_manager(access::kManagerConnect);
    if (!manager)
        return uninstall_failed(Failure(DetailCode::SERVICE_MANAGER_ACCESS_DENIED, manager.error()));
    auto opened =
        services.open_service(manager->get(), kServiceName,
                              access::kDelete | access::kServiceStop | access::kServiceQueryStatus);
    // Only a service that is not there is "not installed": one this account may not remove
    // is still installed, and saying otherwise would report a failure as success.
    if (!opened && opened.error() == platform::OpenServiceFailure::missing)
        return passed(kNotInstalled);
    if (!opened) {
        const DetailCode code = opened.error() == platform::OpenServiceFailure::access_denied
                                    ? DetailCode::SERVICE_ACCESS_DENIED
                                    : DetailCode::SERVICE_MANAGER_UNAVAILABLE;
        return uninstall_failed(Failure(code, opened.error().os));
    }
    const ScHandle service = opened->get();
    const auto state = known_state(platform, service);
    if (!state)
        return uninstall_failed(state.error());
    if (*state != platform::service_state::kStopped) {
        if (auto stopped = services.stop_service(service); !stopped)
            return uninstall_failed(Failure(DetailCode::SERVICE_STOP_FAILED, stopped.error()));
    }
    if (auto deleted = services.delete_service(service); !deleted)
        return uninstall_failed(Failure(DetailCode::SERVICE_DELETE_FAILED, deleted.error()));
    wait_for_removal(platform, manager->get(), std::move(*opened));
    return passed("REMOVAL_SCHEDULED");
}

ServiceCommandResult query_service_status(platform::Platform& platform) {
    platform::ServiceControl& services = platform.services;
    const auto manager = services.open_manager(access::kManagerConnect);
    if (!manager)
        return {false, "UNKNOWN", Failure(DetailCode::SERVICE_MANAGER_UNAVAILABLE, manager.error())};
    const auto service =
        services.open_service(manager->get(), kServiceName, access::kServiceQueryStatus);
    if (!service)
        return passed(kNotInstalled);
    const auto state = known_state(platform, service->get());
    if (!state)
        return {false, "UNKNOWN", state.error()};
    return passed(*state_name(*state));
}

std::string to_json(const ServiceCommandResult& result) {
    nlohmann::ordered_json json;
    json["success"] = result.success;
    json["serviceName"] = std::string(kServiceName);
    json["state"] = std::string(result.state);
    json["detailCode"] = result.failure
                             ? nlohmann::ordered_json(std::string(to_text(result.failure->code)))
                             : nlohmann::ordered_json(nullptr);
    return json.dump();
}

}  // namespace velnaro
