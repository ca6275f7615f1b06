#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/owned.hpp"
#include "platform/handles.hpp"
#include "platform/os_error.hpp"

namespace velnaro::platform {

// Access rights, as the service control manager defines them.
namespace access {
inline constexpr std::uint32_t kManagerConnect = 0x1;
inline constexpr std::uint32_t kManagerCreateService = 0x2;
inline constexpr std::uint32_t kServiceQueryConfig = 0x1;
inline constexpr std::uint32_t kServiceChangeConfig = 0x2;
inline constexpr std::uint32_t kServiceQueryStatus = 0x4;
inline constexpr std::uint32_t kServiceStart = 0x10;
inline constexpr std::uint32_t kServiceStop = 0x20;
inline constexpr std::uint32_t kDelete = 0x10000;
}  // namespace access

// Current states as the manager reports them.
namespace service_state {
inline constexpr std::uint32_t kStopped = 1;
inline constexpr std::uint32_t kStartPending = 2;
inline constexpr std::uint32_t kStopPending = 3;
inline constexpr std::uint32_t kRunning = 4;
inline constexpr std::uint32_t kContinuePending = 5;
inline constexpr std::uint32_t kPausePending = 6;
inline constexpr std::uint32_t kPaused = 7;
}  // namespace service_state

inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceAutoStart = 2;
inline constexpr std::uint32_t kServiceErrorNormal = 1;
inline constexpr std::uint32_t kServiceSidTypeUnrestricted = 1;

// How a stopped service ended: win32_exit_code is 0 after a clean end, and
// kErrorServiceSpecificError when service_specific_exit_code holds the service's own code.
inline constexpr std::uint32_t kErrorServiceSpecificError = 1066;
inline constexpr std::uint32_t kErrorProcessAborted = 1067;
// What Windows reports for a service that has not run since it was registered: no failure.
inline constexpr std::uint32_t kErrorServiceNeverStarted = 1077;
// A record marked for deletion, which goes once its service has stopped and every handle to
// it is closed: opening it (where the manager refuses) and creating its name fail with this
// until then. systemd has no such state.
inline constexpr std::uint32_t kErrorServiceMarkedForDelete = 1072;

struct ServiceStatus {
    std::uint32_t current_state = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
};

struct ServiceRegistration {
    std::string name;
    std::string display_name;
    std::uint32_t service_type = kServiceWin32OwnProcess;
    std::uint32_t start_type = kServiceAutoStart;
    std::uint32_t error_control = kServiceErrorNormal;
    std::string command_line;
    std::vector<std::string> dependencies;
};

// Why a service could not be opened: a caller must not take a refusal for absence.
enum class OpenServiceFailure {
    missing,        // no service of that name (or one marked for deletion)
    access_denied,  // it exists, or may exist, but the rights asked for are refused
    failed,         // anything else: a bad handle or name, a manager that did not answer
};

// The kind decides what the caller does; the OS error says why, for the log.
struct OpenServiceError {
    OpenServiceFailure kind = OpenServiceFailure::failed;
    OsError os;

    bool operator==(OpenServiceFailure other) const { return kind == other; }
};

// What the manager does when the service fails (it crashes, or reports STOPPED with a
// non-zero exit code, as a service that gives up does): restart after each delay in turn, the
// last one for every further failure, the count starting over after `reset_period` without
// a failure.
struct ServiceRecovery {
    std::vector<std::chrono::milliseconds> restart_delays;
    std::chrono::seconds reset_period{0};
};

class ServiceControl;

// A manager or service handle, closed through the service control that opened it.
struct ScHandlePolicy {
    using Value = ScHandle;
    ServiceControl* services = nullptr;
    static ScHandle invalid() noexcept { return {}; }
    static bool is_valid(ScHandle handle) noexcept { return handle.value != 0; }
    void close(ScHandle handle) noexcept;
};
using OwnedScHandle = Owned<ScHandlePolicy>;

// The service control manager (Linux: systemd, with unit files as registrations). Handles
// come back owned and close themselves; declare a service's handle after its manager's, so
// that it is closed first.
class ServiceControl {
  public:
    virtual ~ServiceControl() = default;

    virtual OsResult<OwnedScHandle> open_manager(std::uint32_t access) = 0;
    virtual std::expected<OwnedScHandle, OpenServiceError> open_service(ScHandle manager,
                                                                        std::string_view name,
                                                                        std::uint32_t access) = 0;
    virtual OsResult<OwnedScHandle> create_service(ScHandle manager,
                                                   const ServiceRegistration& registration,
                                                   std::uint32_t access) = 0;
    // Rewrites type, start type, error control, command line, dependencies, display name.
    virtual OsResult<void> change_service_config(ScHandle service,
                                                 const ServiceRegistration& registration) = 0;
    virtual OsResult<void> set_service_description(ScHandle service,
                                                   std::string_view description) = 0;
    virtual OsResult<void> set_service_sid_type(ScHandle service, std::uint32_t sid_type) = 0;
    virtual OsResult<std::uint32_t> query_service_sid_type(ScHandle service) = 0;
    // The only privileges the service's process keeps ("SeLoadDriverPrivilege", ...); the
    // manager strips every other one from its token.
    virtual OsResult<void> set_required_privileges(ScHandle service,
                                                   const std::vector<std::string>& privileges) = 0;
    virtual OsResult<void> set_recovery(ScHandle service, const ServiceRecovery& recovery) = 0;
    // The current state (1 to 7 when the manager behaves): the state part of the status.
    virtual OsResult<std::uint32_t> query_service_state(ScHandle service) {
        auto status = query_service_status(service);
        if (!status)
            return std::unexpected(status.error());
        return status->current_state;
    }
    // The current state with the exit codes of the service's last end.
    virtual OsResult<ServiceStatus> query_service_status(ScHandle service) = 0;
    // The same, running `meanwhile` once while the manager works out the answer, where the
    // question can be sent ahead of the answer (systemd); elsewhere it is not run, and the
    // caller does that work itself if it still needs it. `meanwhile` must not call this object
    // (an implementation may hold its lock).
    virtual OsResult<ServiceStatus> query_service_status_while(
        ScHandle service, const std::function<void()>& /*meanwhile*/) {
        return query_service_status(service);
    }
    virtual OsResult<void> start_service(ScHandle service) = 0;
    // Sends the stop control; does not wait.
    virtual OsResult<void> stop_service(ScHandle service) = 0;
    // Waits, at most `limit`, for what the last start or stop through this handle asked of the
    // manager to be done, where the manager says when it is (systemd ends a job); the caller
    // then reads the state it came to. False, at once, where there is nothing this can wait
    // for (no such request, or a manager that does not tell): the caller polls instead.
    virtual bool await_requested_change(ScHandle /*service*/,
                                        std::chrono::milliseconds /*limit*/) {
        return false;
    }
    // Marks the service for deletion; it goes once stopped and every handle is closed.
    virtual OsResult<void> delete_service(ScHandle service) = 0;
    // Whether an open service is marked for deletion (Windows asks with the change-config
    // right). A deleted unit file is gone at once on Linux, so there it never is.
    virtual OsResult<bool> marked_for_deletion(ScHandle /*service*/) { return false; }
    // What the owners call; code holding an OwnedScHandle never calls it itself.
    virtual void close_service_handle(ScHandle handle) = 0;

  protected:
    OwnedScHandle own(ScHandle handle) { return OwnedScHandle(handle, ScHandlePolicy{this}); }
};

inline void ScHandlePolicy::close(ScHandle handle) noexcept {
    services->close_service_handle(handle);
}

}  // namespace velnaro::platform
