#!/usr/bin/env bash
# A tunnel started while its gateway's name does not resolve (no resolver answers, as at boot)
# waits, CONNECTING with the range held, and comes up once it resolves.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_begin "$0" "$@"

name=gateway.velnaro.test
e2e_world_name_sources "files dns"
e2e_start_gateway
e2e_install
e2e_ensure_identity
e2e_gateway_allow "$DEVICE_PUBLIC_KEY"
e2e_apply "$(e2e_config ".endpointHost = \"$name\"")"
e2e_response_is ACCEPTED || e2e_fail "APPLY_CONFIG answered $E2E_RESPONSE"
sleep 20
e2e_status
[ "$(e2e_status_field state)" = CONNECTING ] || e2e_fail "while the name does not resolve: $E2E_LAST_STATUS"
e2e_wait_until 5 e2e_journal_says WireGuardTunnel-VelnaroTunnel "endpoint \"$name\" does not resolve yet" ||
    e2e_fail "the journal does not say the tunnel waits for its name"
ping -n -q -c 1 -W 1 "$E2E_GATEWAY_TUNNEL_ADDRESS" >/dev/null 2>&1 &&
    e2e_fail "the range was reachable while the tunnel waited"
e2e_world_hosts "$E2E_GATEWAY_UNDERLAY $name"
resolving=$(date +%s%N)
e2e_wait_state 30 CONNECTED
up_ms=$((($(date +%s%N) - resolving) / 1000000)) && echo "-- late name: CONNECTED ${up_ms} ms after the name resolves (trail: $E2E_STATE_TRAIL)"
[ "$up_ms" -le 5000 ] || e2e_fail "CONNECTED ${up_ms} ms after the name resolved (goal: 5 s)"
e2e_ping_gateway || e2e_fail "no echo reply through the tunnel"

e2e_pass
