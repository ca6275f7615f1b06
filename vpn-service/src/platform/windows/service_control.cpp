#include "platform/windows/service_control.hpp"

#include <chrono>
#include <memory>

#include <windows.h>
#include <winsvc.h>

#include "platform/windows/wide.hpp"

namespace velnaro::platform {
namespace {

SC_HANDLE to_native(ScHandle handle) {
    return reinterpret_cast<SC_HANDLE>(handle.value);
}

ScHandle from_native(SC_HANDLE handle) {
    return ScHandle{reinterpret_cast<std::uintptr_t>(handle)};
}

std::unexpected<OsError> failed(const char* operation, std::string_view subject = {},
                                DWORD code = ::GetLastError()) {
    return std::unexpected(OsError{code, operation, std::string(subject)});
}

// The result of a call that returns only whether it worked.
OsResult<void> checked(BOOL done, const char* operation) {
    if (!done)
        return failed(operation);
    return {};
}

// The names one after another, each ended by a zero, and one more zero at the end.
std::optional<std::wstring> dependency_list(const std::vector<std::string>& dependencies) {
    std::wstring list;
    for (const auto& dependency : dependencies) {
        auto wide = to_wide(dependency);
        if (!wide || wide->empty())
            return std::nullopt;
        list += *wide;
        list.push_back(L'\0');
    }
    list.push_back(L'\0');
    return list;
}

struct WideRegistration {
    std::wstring name;
    std::wstring display_name;
    std::wstring command_line;
    std::wstring dependencies;
};

std::optional<WideRegistration> to_wide(const ServiceRegistration& registration) {
    auto name = platform::to_wide(registration.name);
    auto display_name = platform::to_wide(registration.display_name);
    auto command_line = platform::to_wide(registration.command_line);
    auto dependencies = dependency_list(registration.dependencies);
    if (!name || !display_name || !command_line || !dependencies)
        return std::nullopt;
    return WideRegistration{*name, *display_name, *command_line, *dependencies};
}

OsResult<void> change_config2(ScHandle service, DWORD level, void* info, const char* what) {
    return checked(::ChangeServiceConfig2W(to_native(service), level, info), what);
}

}  // namespace

OsResult<OwnedScHandle> Win32ServiceControl::open_manager(std::uint32_t access) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, access);
    if (manager == nullptr)
        return failed("OpenSCManagerW");
    return own(from_native(manager));
}

std::expected<OwnedScHandle, OpenServiceError> Win32ServiceControl::open_service(
    ScHandle manager, std::string_view name, std::uint32_t access) {
    auto refused = [&](OpenServiceFailure kind, DWORD code) {
        return std::unexpected(
            OpenServiceError{kind, OsError{code, "OpenServiceW", std::string(name)}});
    };
    auto wide_name = platform::to_wide(name);
    if (!wide_name)
        return refused(OpenServiceFailure::failed, ERROR_INVALID_NAME);
    if (SC_HANDLE service = ::OpenServiceW(to_native(manager), wide_name->c_str(), access))
        return own(from_native(service));
    const DWORD error = ::GetLastError();
    switch (error) {
        case ERROR_SERVICE_DOES_NOT_EXIST:
        case ERROR_SERVICE_MARKED_FOR_DELETE:
            return refused(OpenServiceFailure::missing, error);
        case ERROR_ACCESS_DENIED:
            return refused(OpenServiceFailure::access_denied, error);
        default:
            return refused(OpenServiceFailure::failed, error);
    }
}

OsResult<OwnedScHandle> Win32ServiceControl::create_service(ScHandle manager,
                                                            const ServiceRegistration& registration,
                                                            std::uint32_t access) {
    auto wide = to_wide(registration);
    if (!wide)
        return failed("CreateServiceW", registration.name, ERROR_INVALID_PARAMETER);
    SC_HANDLE service = ::CreateServiceW(
        to_native(manager), wide->name.c_str(), wide->display_name.c_str(), access,
        registration.service_type, registration.start_type, registration.error_control,
        wide->command_line.c_str(), nullptr, nullptr, wide->dependencies.c_str(), nullptr, nullptr);
    if (service == nullptr)
        return failed("CreateServiceW", registration.name);
    return own(from_native(service));
}

OsResult<void> Win32ServiceControl::change_service_config(ScHandle service,
                                                          const ServiceRegistration& registration) {
    auto wide = to_wide(registration);
    if (!wide)
        return failed("ChangeServiceConfigW", registration.name, ERROR_INVALID_PARAMETER);
    if (!::ChangeServiceConfigW(
            to_native(service), registration.service_type, registration.start_type,
            registration.error_control, wide->command_line.c_str(), nullptr, nullptr,
            wide->dependencies.c_str(), nullptr, nullptr, wide->display_name.c_str())) {
        return failed("ChangeServiceConfigW", registration.name);
    }
    return {};
}

OsResult<void> Win32ServiceControl::set_service_description(ScHandle service,
                                                            std::string_view description) {
    auto wide = platform::to_wide(description);
    if (!wide)
        return failed("ChangeServiceConfig2W(DESCRIPTION)", {}, ERROR_INVALID_PARAMETER);
    SERVICE_DESCRIPTIONW info{};
    info.lpDescription = wide->data();
    return change_config2(service, SERVICE_CONFIG_DESCRIPTION, &info,
                          "ChangeServiceConfig2W(DESCRIPTION)");
}

OsResult<void> Win32ServiceControl::set_service_sid_type(ScHandle service, std::uint32_t sid_type) {
    SERVICE_SID_INFO info{};
    info.dwServiceSidType = sid_type;
    return change_config2(service, SERVICE_CONFIG_SERVICE_SID_INFO, &info,
                          "ChangeServiceConfig2W(SERVICE_SID_INFO)");
}

OsResult<std::uint32_t> Win32ServiceControl::query_service_sid_type(ScHandle service) {
    static_assert(sizeof(SERVICE_SID_INFO) == 4);
    SERVICE_SID_INFO info{};
    DWORD needed = 0;
    if (!::QueryServiceConfig2W(to_native(service), SERVICE_CONFIG_SERVICE_SID_INFO,
                                reinterpret_cast<LPBYTE>(&info), sizeof info, &needed)) {
        return failed("QueryServiceConfig2W(SERVICE_SID_INFO)");
    }
    return info.dwServiceSidType;
}

OsResult<void> Win32ServiceControl::set_required_privileges(
    ScHandle service, const std::vector<std::string>& privileges) {
    auto list = dependency_list(privileges);  // the same zero-separated list
    if (!list)
        return failed("ChangeServiceConfig2W(REQUIRED_PRIVILEGES_INFO)", {},
                      ERROR_INVALID_PARAMETER);
    SERVICE_REQUIRED_PRIVILEGES_INFOW info{};
    info.pmszRequiredPrivileges = list->data();
    return change_config2(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &info,
                          "ChangeServiceConfig2W(REQUIRED_PRIVILEGES_INFO)");
}

OsResult<void> Win32ServiceControl::set_recovery(ScHandle service,
                                                 const ServiceRecovery& recovery) {
    std::vector<SC_ACTION> actions;
    for (const auto delay : recovery.restart_delays)
        actions.push_back(SC_ACTION{SC_ACTION_RESTART, static_cast<DWORD>(delay.count())});
    SERVICE_FAILURE_ACTIONSW info{};
    info.dwResetPeriod = static_cast<DWORD>(recovery.reset_period.count());
    info.cActions = static_cast<DWORD>(actions.size());
    info.lpsaActions = actions.data();
    if (auto set = change_config2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &info,
                                  "ChangeServiceConfig2W(FAILURE_ACTIONS)");
        !set) {
        return set;
    }
    // Without this flag only a crash counts; a service that gives up reports STOPPED with an
    // exit code, and that must be retried too.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    return change_config2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag,
                          "ChangeServiceConfig2W(FAILURE_ACTIONS_FLAG)");
}

OsResult<ServiceStatus> Win32ServiceControl::query_service_status(ScHandle service) {
    static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(to_native(service), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<LPBYTE>(&status), sizeof status, &needed)) {
        return failed("QueryServiceStatusEx");
    }
    return ServiceStatus{status.dwCurrentState, status.dwWin32ExitCode,
                         status.dwServiceSpecificExitCode};
}

OsResult<void> Win32ServiceControl::start_service(ScHandle service) {
    auto started = checked(::StartServiceW(to_native(service), 0, nullptr), "StartServiceW");
    if (started)
        note_request(service, SERVICE_NOTIFY_RUNNING | SERVICE_NOTIFY_STOPPED);
    return started;
}

OsResult<void> Win32ServiceControl::stop_service(ScHandle service) {
    SERVICE_STATUS status{};
    auto stopped = checked(::ControlService(to_native(service), SERVICE_CONTROL_STOP, &status),
                           "ControlService(STOP)");
    if (stopped)
        note_request(service, SERVICE_NOTIFY_STOPPED);
    return stopped;
}

void Win32ServiceControl::note_request(ScHandle service, std::uint32_t notify_mask) {
    std::lock_guard lock(mutex_);
    requested_[service.value] = notify_mask;
}

namespace {

// The manager's notice of a state reached, and whether it came. It is written by a callback
// the manager queues to the thread that asked, run only while that thread waits alertably.
struct StateNotice {
    SERVICE_NOTIFYW notify{};
    bool came = false;
};

VOID CALLBACK on_state_notice(PVOID parameter) {
    static_cast<StateNotice*>(static_cast<SERVICE_NOTIFYW*>(parameter)->pContext)->came = true;
}

}  // namespace

// The manager says when the service reaches the state asked for (at once when it is there
// already). A wait that ends at its limit leaves the request outstanding until the handle is
// closed, and the notice must stay valid as long: it is then deliberately not freed (a few
// dozen bytes, only when a stop outlasts its limit). Where the manager cannot take the
// request, the caller polls.
bool Win32ServiceControl::await_requested_change(ScHandle service,
                                                 std::chrono::milliseconds limit) {
    std::uint32_t mask = 0;
    {
        std::lock_guard lock(mutex_);
        const auto found = requested_.find(service.value);
        if (found == requested_.end())
            return false;
        mask = found->second;
        requested_.erase(found);
    }
    auto notice = std::make_unique<StateNotice>();
    notice->notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
    notice->notify.pfnNotifyCallback = on_state_notice;
    notice->notify.pContext = notice.get();
    if (::NotifyServiceStatusChangeW(to_native(service), mask, &notice->notify) != ERROR_SUCCESS)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!notice->came) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            notice.release();  // see above: the manager may still write to it
            return true;
        }
        ::SleepEx(static_cast<DWORD>(left.count()), TRUE);
    }
    return true;
}

// The manager has no query for the mark; a change that changes nothing is refused with
// ERROR_SERVICE_MARKED_FOR_DELETE while the record waits to go.
OsResult<bool> Win32ServiceControl::marked_for_deletion(ScHandle service) {
    if (::ChangeServiceConfigW(to_native(service), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                               SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr)) {
        return false;
    }
    if (::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
        return true;
    return failed("ChangeServiceConfigW");
}

OsResult<void> Win32ServiceControl::delete_service(ScHandle service) {
    return checked(::DeleteService(to_native(service)), "DeleteService");
}

void Win32ServiceControl::close_service_handle(ScHandle handle) {
    if (handle.value == 0)
        return;
    ::CloseServiceHandle(to_native(handle));
    std::lock_guard lock(mutex_);
    requested_.erase(handle.value);
}

}  // namespace velnaro::platform
