#include "tunnel_config/config_file.hpp"
#include "tunnel_config/tunnel_config.hpp"

// Not built yet.
namespace velnaro {

Result<SecretBuffer> render_tunnel_config_text(Runtime&, std::string_view, const TunnelConfig&) {
    return fail(DetailCode::TUNNEL_CONFIG_BUILD_FAILED);
}
Result<std::string> store_tunnel_config(Runtime&, std::string_view, const TunnelConfig&) {
    return fail(DetailCode::TUNNEL_CONFIG_WRITE_FAILED);
}
Result<SecretBuffer> read_tunnel_config_text(platform::Platform&, std::string_view) {
    return fail(DetailCode::TUNNEL_CONFIG_READ_FAILED);
}
Status check_tunnel_config_text(std::string_view) {
    return fail(DetailCode::TUNNEL_CONFIG_CONTENT_INVALID);
}
Result<bool> find_plaintext_config(platform::Platform&, std::string_view) {
    return fail(DetailCode::TUNNEL_CONFIG_READ_FAILED);
}

}  // namespace velnaro
