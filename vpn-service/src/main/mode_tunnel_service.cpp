#include "core/utf.hpp"
#include "main/modes.hpp"
#include "service/running_service.hpp"
#include "service_manager/tunnel_service_manager.hpp"
#include "tunnel_config/config_file.hpp"
#include "wireguard/tunnel_service_mode.hpp"

namespace velnaro {

namespace {

// The tunnel service gives up like the service: its reason reaches the service manager (a
// STOPPED report on Windows when the library never took over, the exit status on Linux).
int give_up(Runtime& runtime, const Failure& reason) {
    report_give_up(runtime.platform, kTunnelServiceName, reason, false);
    return static_cast<int>(stable_number(reason.code));
}

// The endpoint as stored, for the tunnel to follow while it runs; nothing when the file
// cannot be read back (the check and the library then judge it).
std::optional<GatewayName> stored_gateway(Runtime& runtime, const std::string& config_path) {
    const auto text = read_tunnel_config_text(runtime.platform, config_path);
    if (!text)
        return std::nullopt;
    const auto config = read_back_tunnel_config(as_text(*text));
    if (!config)
        return std::nullopt;
    return GatewayName{config->endpoint_host, config->endpoint_port};
}

}  // namespace

// Started by the service control manager, so nothing goes to standard output: there is
// nobody to read it.
int run_tunnel_service_mode(Runtime& runtime, std::span<const std::string> args) {
    if (args.size() < 2)
        return 2;
    const std::string& config_path = args[1];
    // A path that is not valid text could name a different file once converted for the
    // platform; it is refused like any other unacceptable configuration path.
    if (!is_valid_utf8(config_path))
        return give_up(runtime, Failure(DetailCode::TUNNEL_CONFIG_PATH_INVALID));
    const Outcome<void> ran = run_tunnel_service(runtime, config_path, [&] {
        return check_stored_tunnel_config_file(runtime.platform, config_path);
    }, [&] { return stored_gateway(runtime, config_path); });
    return ran ? 0 : give_up(runtime, ran.error());
}

}  // namespace velnaro
