#!/usr/bin/env bash
# A refused configuration answers ERROR with its code and leaves the running tunnel, its
# process, its handshake and the stored file exactly as they were.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_begin "$0" "$@"

e2e_connect
tunnel_pid=$(e2e_tunnel_service_pids)
handshake=$(e2e_status_field lastHandshakeUnixSeconds)
stored=$PROGRAMDATA/Velnaro/vpn/VelnaroTunnel.conf.dpapi
stored_sum=$(sha256sum <"$stored")

# jq filter applied to the working configuration | expected code
cases=(
    '.configVersion = 0|CONFIG_VERSION_INVALID'
    '.address = "8.8.8.8/32"|ADDRESS_INVALID'
    '.address = "10.250.10.21"|ADDRESS_INVALID'
    '.gatewayPublicKey = "not-a-key"|GATEWAY_PUBLIC_KEY_INVALID'
    '.endpointHost = "gateway.example."|ENDPOINT_INVALID'
    '.endpointPort = 0|ENDPOINT_INVALID'
    '.allowedIps = ["0.0.0.0/0"]|ALLOWED_IPS_INVALID'
    '.allowedIps = ["10.0.0.0/8", "::/0"]|ALLOWED_IPS_INVALID'
    '.allowedIps = []|ALLOWED_IPS_INVALID'
    '.persistentKeepalive = 301|KEEPALIVE_INVALID'
    '.configVersion = 0 | .persistentKeepalive = 1|CONFIG_VERSION_INVALID'
    '.endpointPort = 65536|IPC_REQUEST_INVALID'
    '.extra = true|IPC_REQUEST_INVALID'
    'del(.address)|IPC_REQUEST_INVALID'
)
for entry in "${cases[@]}"; do
    filter=${entry%|*}
    code=${entry##*|}
    e2e_apply "$(e2e_config "$filter")"
    [ "$(jq -r .type <<<"$E2E_RESPONSE")" = ERROR ] && [ "$(e2e_error_code)" = "$code" ] ||
        e2e_fail "configuration changed by '$filter' answered $E2E_RESPONSE, expected ERROR $code"
done

[ "$(e2e_tunnel_service_pids)" = "$tunnel_pid" ] ||
    e2e_fail "the tunnel process changed from $tunnel_pid to '$(e2e_tunnel_service_pids)'"
e2e_interface_present || e2e_fail "the tunnel interface went away"
[ "$(sha256sum <"$stored")" = "$stored_sum" ] || e2e_fail "the stored configuration was rewritten"
e2e_status
jq -e --argjson h "$handshake" '.state == "CONNECTED" and .lastHandshakeUnixSeconds == $h' \
    <<<"$E2E_LAST_STATUS" >/dev/null ||
    e2e_fail "expected the same session (handshake $handshake) to go on: $E2E_LAST_STATUS"
e2e_ping_gateway || e2e_fail "no echo reply after the refused configurations"
e2e_pass
