#include "platform/windows/service_control.hpp"

// Not implemented yet: the manager cannot be opened.
namespace velnaro::platform {

std::optional<ScHandle> Win32ServiceControl::open_manager(std::uint32_t) { return {}; }
std::optional<ScHandle> Win32ServiceControl::open_service(ScHandle, std::string_view,
                                                          std::uint32_t) {
    return {};
}
std::optional<ScHandle> Win32ServiceControl::create_service(ScHandle, const ServiceRegistration&,
                                                            std::uint32_t) {
    return {};
}
bool Win32ServiceControl::change_service_config(ScHandle, const ServiceRegistration&) {
    return false;
}
bool Win32ServiceControl::set_service_description(ScHandle, std::string_view) { return false; }
bool Win32ServiceControl::set_service_sid_type(ScHandle, std::uint32_t) { return false; }
std::optional<std::uint32_t> Win32ServiceControl::query_service_sid_type(ScHandle) { return {}; }
std::optional<std::uint32_t> Win32ServiceControl::query_service_state(ScHandle) { return {}; }
bool Win32ServiceControl::start_service(ScHandle) { return false; }
bool Win32ServiceControl::stop_service(ScHandle) { return false; }
bool Win32ServiceControl::delete_service(ScHandle) { return false; }
void Win32ServiceControl::close_service_handle(ScHandle) {}

}  // namespace velnaro::platform
