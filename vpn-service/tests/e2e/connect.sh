#!/usr/bin/env bash
# A fresh installation reaches a real gateway: identity made on request, configuration
# applied, the tunnel going CONNECTING then CONNECTED, a handshake the gateway agrees on,
# counters that move with traffic, and the secrets kept sealed on disk.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_begin "$0" "$@"

e2e_start_gateway
e2e_install

e2e_ensure_identity
identity=$(jq -c .payload <<<"$E2E_RESPONSE")
uuid='^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$'
jq -e --arg uuid "$uuid" '.keyVersion == 1 and (.installationId | test($uuid))' \
    <<<"$identity" >/dev/null || e2e_fail "unexpected first identity $identity"
e2e_expect GET_PUBLIC_IDENTITY PUBLIC_IDENTITY
[ "$(jq -c .payload <<<"$E2E_RESPONSE")" = "$identity" ] ||
    e2e_fail "GET_PUBLIC_IDENTITY answered $E2E_RESPONSE after ENSURE_IDENTITY gave $identity"

e2e_status
jq -e '.state == "DISCONNECTED" and .detailCode == null and .lastHandshakeUnixSeconds == null
       and .rxBytes == 0 and .txBytes == 0' <<<"$E2E_LAST_STATUS" >/dev/null ||
    e2e_fail "before any configuration the status is $E2E_LAST_STATUS"

# The gateway learns the device's key only after the tunnel is up, so the tunnel is seen
# waiting for its first handshake before it connects.
e2e_apply "$(e2e_config)"
e2e_response_is ACCEPTED || e2e_fail "APPLY_CONFIG answered $E2E_RESPONSE"
e2e_wait_status 20 '.detailCode == "WIREGUARD_HANDSHAKE_PENDING"' ||
    e2e_fail "no handshake wait seen (states: $E2E_STATE_TRAIL, last $E2E_LAST_STATUS)"
[ "$E2E_STATE_TRAIL" = CONNECTING ] || e2e_fail "states seen before any handshake: $E2E_STATE_TRAIL"
e2e_gateway_allow "$DEVICE_PUBLIC_KEY"
e2e_wait_state 20 CONNECTED
[[ $E2E_STATE_TRAIL =~ ^(CONNECTING )?CONNECTED$ ]] ||
    e2e_fail "states seen on the way to CONNECTED: $E2E_STATE_TRAIL"
[ "$(e2e_status_field detailCode)" = null ] || e2e_fail "CONNECTED with a detail: $E2E_LAST_STATUS"

handshake=$(e2e_status_field lastHandshakeUnixSeconds)
now=$(date +%s)
[[ $handshake =~ ^[0-9]+$ ]] && [ $((now - handshake)) -le 60 ] && [ $((handshake - now)) -le 60 ] ||
    e2e_fail "handshake time $handshake is not within a minute of $now"
gateway_seen=$(e2e_gateway_handshake_of "$DEVICE_PUBLIC_KEY")
[ -n "$gateway_seen" ] && [ $((handshake - gateway_seen)) -le 5 ] && [ $((gateway_seen - handshake)) -le 5 ] ||
    e2e_fail "the gateway saw the handshake at ${gateway_seen:-never}, the service reports $handshake"

ip -4 -o address show dev "$E2E_TUNNEL_INTERFACE" | grep -q " $E2E_DEVICE_TUNNEL_ADDRESS/32 " ||
    e2e_fail "the tunnel interface lacks the device address: $(ip -4 -o address show dev "$E2E_TUNNEL_INTERFACE")"

rx=$(e2e_status_field rxBytes)
tx=$(e2e_status_field txBytes)
e2e_ping_gateway || e2e_fail "no echo reply from $E2E_GATEWAY_TUNNEL_ADDRESS through the tunnel"
e2e_wait_status 10 ".rxBytes > $rx and .txBytes > $tx" ||
    e2e_fail "counters did not grow with traffic: before rx=$rx tx=$tx, now $E2E_LAST_STATUS"

# The private key reaches the disk only sealed, in files no one else can read.
data=$PROGRAMDATA/Velnaro/vpn
for file in identity.dat metadata.json VelnaroTunnel.conf.dpapi; do
    [ -f "$data/$file" ] || e2e_fail "$data/$file is missing"
    [ "$(stat -c %a "$data/$file")" = 600 ] || e2e_fail "$file has mode $(stat -c %a "$data/$file")"
done
[ "$(stat -c %a "$data")" = 700 ] || e2e_fail "the data directory has mode $(stat -c %a "$data")"
if grep -q -a -e PrivateKey -e '\[Interface\]' "$data/VelnaroTunnel.conf.dpapi"; then
    e2e_fail "the stored configuration holds WireGuard text in clear"
fi
e2e_pass
