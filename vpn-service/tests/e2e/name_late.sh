#!/usr/bin/env bash
# A tunnel started before its gateway's name resolves (the resolver does not answer yet, as
# at boot): it waits, CONNECTING, with the ranges held, and comes up as soon as the name
# resolves; a name that does not exist is still told at once.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_begin "$0" "$@"

tunnel_unit=WireGuardTunnel-VelnaroTunnel.service
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
journalctl -u "$tunnel_unit" --no-pager | grep -q "endpoint \"$name\" does not resolve yet" ||
    e2e_fail "the journal does not say the tunnel waits for its name"
ping -n -q -c 1 -W 1 "$E2E_GATEWAY_TUNNEL_ADDRESS" >/dev/null 2>&1 &&
    e2e_fail "the range was reachable while the tunnel waited"

e2e_world_hosts "$E2E_GATEWAY_UNDERLAY $name"
resolving=$(date +%s%N)
e2e_wait_state 30 CONNECTED
up_ms=$((($(date +%s%N) - resolving) / 1000000))
echo "-- late name: CONNECTED ${up_ms} ms after the name resolves (trail: $E2E_STATE_TRAIL)"
[ "$up_ms" -le 5000 ] || e2e_fail "CONNECTED ${up_ms} ms after the name resolved (goal: 5 s)"
e2e_ping_gateway || e2e_fail "no echo reply through the tunnel"

# A name that does not exist gives up at once, with no wait.
e2e_world_hosts
e2e_world_name_sources files
e2e_apply "$(e2e_config '.endpointHost = "gateway.invalid"')"
e2e_response_is ACCEPTED || e2e_fail "APPLY_CONFIG answered $E2E_RESPONSE"
e2e_wait_status 10 '.detailCode == "TUNNEL_ENDPOINT_UNRESOLVED"' ||
    e2e_fail "a name that does not exist gave $E2E_STATE_TRAIL ($E2E_LAST_STATUS)"
e2e_pass
