#!/usr/bin/env bash
# A gateway that forgets the device: the reported handshake stops advancing and a fresh
# tunnel gets none, until the gateway takes the device back.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_begin "$0" "$@"

e2e_connect
e2e_gateway_forget "$DEVICE_PUBLIC_KEY"
e2e_status
first=$(e2e_status_field lastHandshakeUnixSeconds)
rx=$(e2e_status_field rxBytes)
e2e_ping_gateway 2 && e2e_fail "the gateway answered a device it no longer knows"
sleep 3
e2e_status
jq -e --argjson first "$first" --argjson rx "$rx" \
    '.lastHandshakeUnixSeconds == $first and .rxBytes == $rx' <<<"$E2E_LAST_STATUS" >/dev/null ||
    e2e_fail "handshake $first / rx $rx should stand still, status is $E2E_LAST_STATUS"

# A restarted tunnel has no session to live on and must not report one.
e2e_expect REPAIR ACCEPTED
if e2e_wait_status 8 '.state == "CONNECTED" or .lastHandshakeUnixSeconds != null'; then
    e2e_fail "a handshake was reported with the device unknown to the gateway: $E2E_LAST_STATUS"
fi
jq -e '.state == "CONNECTING" and .detailCode == "WIREGUARD_HANDSHAKE_PENDING"' \
    <<<"$E2E_LAST_STATUS" >/dev/null || e2e_fail "without a handshake the status is $E2E_LAST_STATUS"

e2e_gateway_allow "$DEVICE_PUBLIC_KEY"
e2e_wait_state 20 CONNECTED
[ "$(e2e_status_field lastHandshakeUnixSeconds)" -ge "$first" ] || e2e_fail "the new handshake is older: $E2E_LAST_STATUS"
e2e_ping_gateway || e2e_fail "no echo reply once the gateway knows the device again"
e2e_pass
