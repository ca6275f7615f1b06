#include <new>
#include <stdexcept>
#include <string>

#include "core/base64.hpp"
#include "identity/identity_file.hpp"
#include "platform/paths.hpp"
#include "tunnel_config/config_file.hpp"

namespace velnaro {
namespace {

// The text's first line; a file that does not begin with it is not ours.
constexpr std::string_view kInterfaceHeader = "[Interface]";

// Holds a typical configuration without growing, so no partial copy of the key is left
// behind in a released block (the allocator wipes it anyway).
constexpr std::size_t kTextReservation = 512;

void append_line(SecretBuffer& text, std::string_view head, std::string_view value = {}) {
    append_text(text, head);
    append_text(text, value);
    text.push_back('\n');
}

void append_allowed_ips(SecretBuffer& text, const std::vector<std::string>& allowed_ips) {
    append_text(text, "AllowedIPs = ");
    for (std::size_t i = 0; i < allowed_ips.size(); ++i) {
        if (i != 0)
            append_text(text, ", ");
        append_text(text, allowed_ips[i]);
    }
    text.push_back('\n');
}

Result<SecretBuffer> compose_text(const TunnelConfig& config, const SecretBuffer& private_key) {
    try {
        SecretBuffer text;
        text.reserve(kTextReservation);
        append_line(text, kInterfaceHeader);
        append_line(text, "PrivateKey = ", as_text(private_key));
        append_line(text, "Address = ", config.address);
        append_line(text, "");
        append_line(text, "[Peer]");
        append_line(text, "PublicKey = ", config.gateway_public_key);
        append_text(text, "Endpoint = ");
        append_text(text, config.endpoint_host);
        append_line(text, ":", std::to_string(config.endpoint_port));
        append_allowed_ips(text, config.allowed_ips);
        append_line(text, "PersistentKeepalive = ", std::to_string(config.persistent_keepalive));
        return text;
    } catch (const std::bad_alloc&) {
        return fail(DetailCode::TUNNEL_CONFIG_BUILD_FAILED);
    } catch (const std::length_error&) {
        return fail(DetailCode::TUNNEL_CONFIG_BUILD_FAILED);
    }
}

}  // namespace

Result<SecretBuffer> render_tunnel_config_text(const DeviceIdentity& identity,
                                               const TunnelConfig& config) {
    if (auto valid = validate_tunnel_config(config); !valid)
        return fail(valid.error());
    const SecretBuffer private_key = encode_base64_secret(identity.private_key.span());
    return compose_text(config, private_key);
}

Status check_tunnel_config_text(std::string_view text) {
    if (text.size() <= kInterfaceHeader.size() || !text.starts_with(kInterfaceHeader) ||
        text.find("PrivateKey =") == std::string_view::npos) {
        return fail(DetailCode::TUNNEL_CONFIG_CONTENT_INVALID);
    }
    return {};
}

}  // namespace velnaro
