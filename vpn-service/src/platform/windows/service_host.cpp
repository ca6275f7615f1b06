#include "platform/windows/service_host.hpp"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/windows/wide.hpp"

namespace velnaro::platform {

namespace {

ServiceHost::ServiceMain* g_service_main = nullptr;
std::atomic<ServiceHost::ControlHandler> g_control_handler = nullptr;
std::atomic<bool> g_stopped_reported = false;
// The name and report of a process that only reports that it gave up.
const std::wstring* g_early_name = nullptr;
const ServiceStatusReport* g_early_report = nullptr;

SERVICE_STATUS native_status(const ServiceStatusReport& report) {
    return SERVICE_STATUS{report.service_type,
                          report.current_state,
                          report.controls_accepted,
                          report.win32_exit_code,
                          report.service_specific_exit_code,
                          report.check_point,
                          report.wait_hint_ms};
}

void WINAPI service_main_entry(DWORD argc, LPWSTR* argv) {
    std::vector<std::string> arguments;
    for (DWORD i = 0; i < argc; ++i)
        arguments.push_back(from_wide(argv[i]));
    if (g_service_main != nullptr)
        (*g_service_main)(std::move(arguments));
    // A service main that could not even register its handler has reported nothing; the
    // manager would keep it START_PENDING and the process would linger in the dispatcher.
    // Ending the process lets the manager see the failure and apply its recovery.
    if (!g_stopped_reported.load())
        ::ExitProcess(ERROR_SERVICE_SPECIFIC_ERROR);
}

DWORD WINAPI control_entry(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context) {
    const ServiceHost::ControlHandler handler = g_control_handler.load();
    if (handler == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return handler(control, event_type, event_data, context);
}

DWORD WINAPI ignore_controls(DWORD control, DWORD, LPVOID, LPVOID) {
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI report_only_entry(DWORD, LPWSTR*) {
    send_give_up_report(
        ::RegisterServiceCtrlHandlerExW(g_early_name->c_str(), ignore_controls, nullptr),
        *g_early_report, [](UINT code) { ::ExitProcess(code); });
}

using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

}  // namespace

void send_give_up_report(SERVICE_STATUS_HANDLE status, const ServiceStatusReport& report,
                         void (*end)(UINT code)) {
    SERVICE_STATUS native = native_status(report);
    if (status == nullptr || !::SetServiceStatus(status, &native))
        end(ERROR_SERVICE_SPECIFIC_ERROR);
}

namespace {

std::unexpected<OsError> failed(const char* operation, std::string_view service_name,
                                DWORD code = ::GetLastError()) {
    return std::unexpected(OsError{code, operation, std::string(service_name)});
}

}  // namespace

OsResult<void> Win32ServiceHost::run_dispatcher(std::string_view service_name, ServiceMain main) {
    auto name = to_wide(service_name);
    if (!name)
        return failed("StartServiceCtrlDispatcherW", service_name, ERROR_INVALID_NAME);
    g_service_main = &main;
    SERVICE_TABLE_ENTRYW table[] = {{name->data(), service_main_entry}, {nullptr, nullptr}};
    const BOOL ran = ::StartServiceCtrlDispatcherW(table);
    const DWORD error = ran ? 0 : ::GetLastError();
    g_service_main = nullptr;
    if (!ran)
        return failed("StartServiceCtrlDispatcherW", service_name, error);
    return {};
}

OsResult<ServiceStatusHandle> Win32ServiceHost::register_control_handler(
    std::string_view service_name, ControlHandler handler, void* context) {
    const auto name = to_wide(service_name);
    if (!name || handler == nullptr)
        return failed("RegisterServiceCtrlHandlerExW", service_name, ERROR_INVALID_PARAMETER);
    g_control_handler.store(handler);
    SERVICE_STATUS_HANDLE status =
        ::RegisterServiceCtrlHandlerExW(name->c_str(), control_entry, context);
    if (status == nullptr)
        return failed("RegisterServiceCtrlHandlerExW", service_name);
    return ServiceStatusHandle{reinterpret_cast<std::uintptr_t>(status)};
}

OsResult<void> Win32ServiceHost::set_service_status(ServiceStatusHandle handle,
                                                    const ServiceStatusReport& report) {
    SERVICE_STATUS status = native_status(report);
    if (!::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle.value), &status))
        return failed("SetServiceStatus", {});
    if (report.current_state == SERVICE_STOPPED)
        g_stopped_reported.store(true);
    return {};
}

OsResult<void> Win32ServiceHost::report_stopped_before_start(std::string_view service_name,
                                                             const ServiceStatusReport& report) {
    const auto name = to_wide(service_name);
    if (!name)
        return failed("StartServiceCtrlDispatcherW", service_name, ERROR_INVALID_NAME);
    g_early_name = &*name;
    g_early_report = &report;
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(name->c_str()), report_only_entry},
                                    {nullptr, nullptr}};
    // Fails at once from a console (1063) and when a library already ran the dispatcher.
    const bool ran = ::StartServiceCtrlDispatcherW(table) != FALSE;
    const DWORD error = ran ? 0 : ::GetLastError();
    g_early_name = nullptr;
    g_early_report = nullptr;
    if (!ran)
        return failed("StartServiceCtrlDispatcherW", service_name, error);
    return {};
}

void Win32ServiceHost::explain_give_up(std::string_view) {
    // A service has no console; the manager shows the code (`sc query`).
}

void Win32ServiceHost::name_current_thread(std::string_view name) {
    // Older systems (and Wine) may lack the call; the name is only a help for debugging.
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr)
        return;
    const auto set_description = reinterpret_cast<SetThreadDescriptionFunction>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")));
    const auto wide = to_wide(name);
    if (set_description != nullptr && wide)
        set_description(::GetCurrentThread(), wide->c_str());
}

}  // namespace velnaro::platform
