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

void WINAPI service_main_entry(DWORD argc, LPWSTR* argv) {
    std::vector<std::string> arguments;
    for (DWORD i = 0; i < argc; ++i)
        arguments.push_back(from_wide(argv[i]));
    if (g_service_main != nullptr)
        (*g_service_main)(std::move(arguments));
}

DWORD WINAPI control_entry(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context) {
    const ServiceHost::ControlHandler handler = g_control_handler.load();
    if (handler == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return handler(control, event_type, event_data, context);
}

using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

}  // namespace

std::uint32_t Win32ServiceHost::run_dispatcher(std::string_view service_name, ServiceMain main) {
    auto name = to_wide(service_name);
    if (!name)
        return ERROR_INVALID_NAME;
    g_service_main = &main;
    SERVICE_TABLE_ENTRYW table[] = {{name->data(), service_main_entry}, {nullptr, nullptr}};
    const BOOL ran = ::StartServiceCtrlDispatcherW(table);
    const DWORD error = ran ? 0 : ::GetLastError();
    g_service_main = nullptr;
    return error;
}

std::optional<ServiceStatusHandle> Win32ServiceHost::register_control_handler(
    std::string_view service_name, ControlHandler handler, void* context) {
    const auto name = to_wide(service_name);
    if (!name || handler == nullptr)
        return std::nullopt;
    g_control_handler.store(handler);
    SERVICE_STATUS_HANDLE status =
        ::RegisterServiceCtrlHandlerExW(name->c_str(), control_entry, context);
    if (status == nullptr)
        return std::nullopt;
    return ServiceStatusHandle{reinterpret_cast<std::uintptr_t>(status)};
}

bool Win32ServiceHost::set_service_status(ServiceStatusHandle handle,
                                          const ServiceStatusReport& report) {
    SERVICE_STATUS status{report.service_type,
                          report.current_state,
                          report.controls_accepted,
                          report.win32_exit_code,
                          report.service_specific_exit_code,
                          report.check_point,
                          report.wait_hint_ms};
    return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle.value), &status) != 0;
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
