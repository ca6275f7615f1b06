#include "wireguard/keys.hpp"
#include "wireguard/telemetry.hpp"
#include "wireguard/tunnel_service_mode.hpp"

// Not built yet.
namespace velnaro {

Result<std::string> resolve_component_directory(platform::Platform&) {
    return fail(DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
}
Result<KeyPair> generate_keypair(Runtime&, std::string_view) {
    return fail(DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
}
Result<AdapterTelemetry> read_adapter_telemetry(Runtime&, std::string_view) {
    return fail(DetailCode::WIREGUARD_ADAPTER_NOT_FOUND);
}
Result<AdapterTelemetry> walk_configuration_block(std::span<const std::uint8_t>, std::uint32_t,
                                                  bool) {
    return fail(DetailCode::WIREGUARD_CONFIGURATION_INVALID);
}
Status run_tunnel_service(Runtime&, std::string_view) {
    return fail(DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE);
}
ComponentSelfTestResult component_self_test(Runtime&) {
    return {false, DetailCode::COMPONENT_DIRECTORY_UNAVAILABLE};
}

}  // namespace velnaro
