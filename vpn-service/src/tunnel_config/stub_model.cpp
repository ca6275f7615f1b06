#include "tunnel_config/tunnel_config.hpp"

// Not built yet.
namespace velnaro {

bool is_private_ipv4_cidr(std::string_view) { return false; }
Status validate_tunnel_config(const TunnelConfig&) { return fail(DetailCode::CONFIG_VERSION_INVALID); }

}  // namespace velnaro
