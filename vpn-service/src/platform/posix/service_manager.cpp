#include "platform/posix/service_manager.hpp"

// Not implemented yet: the manager cannot be opened.
namespace velnaro::platform {

std::optional<ScHandle> LocalServiceManager::open_manager(std::uint32_t) { return {}; }
std::optional<ScHandle> LocalServiceManager::open_service(ScHandle, std::string_view,
                                                          std::uint32_t) {
    return {};
}
std::optional<ScHandle> LocalServiceManager::create_service(ScHandle, const ServiceRegistration&,
                                                            std::uint32_t) {
    return {};
}
bool LocalServiceManager::change_service_config(ScHandle, const ServiceRegistration&) {
    return false;
}
bool LocalServiceManager::set_service_description(ScHandle, std::string_view) { return false; }
bool LocalServiceManager::set_service_sid_type(ScHandle, std::uint32_t) { return false; }
std::optional<std::uint32_t> LocalServiceManager::query_service_sid_type(ScHandle) { return {}; }
std::optional<std::uint32_t> LocalServiceManager::query_service_state(ScHandle) { return {}; }
bool LocalServiceManager::start_service(ScHandle) { return false; }
bool LocalServiceManager::stop_service(ScHandle) { return false; }
bool LocalServiceManager::delete_service(ScHandle) { return false; }
void LocalServiceManager::close_service_handle(ScHandle) {}

}  // namespace velnaro::platform
