#include "tunnel_service_manager/tunnel_service_manager.hpp"

// Not built yet.
namespace velnaro {

Status configure_tunnel_service(platform::Platform&, std::string_view) {
    return fail(DetailCode::SERVICE_MANAGER_UNAVAILABLE);
}
Status start_tunnel_service(platform::Platform&) {
    return fail(DetailCode::SERVICE_MANAGER_UNAVAILABLE);
}
Status stop_tunnel_service(platform::Platform&) {
    return fail(DetailCode::SERVICE_MANAGER_UNAVAILABLE);
}
Result<ConnectionState> query_tunnel_service(platform::Platform&) {
    return fail(DetailCode::SERVICE_MANAGER_UNAVAILABLE);
}
Status remove_tunnel_service(platform::Platform&) {
    return fail(DetailCode::SERVICE_MANAGER_UNAVAILABLE);
}

}  // namespace velnaro
