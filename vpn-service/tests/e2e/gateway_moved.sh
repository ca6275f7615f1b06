#!/usr/bin/env bash
# The gateway moves to a new address after a quiet spell, its name following it: the running
# tunnel finds it again by itself, the journal says so once, vpnctl shows the address in use.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_begin "$0" "$@"

tunnel_unit=WireGuardTunnel-VelnaroTunnel.service
name=gateway.velnaro.test
new_address=192.168.77.3
e2e_world_hosts "$E2E_GATEWAY_UNDERLAY $name"
e2e_connect ".endpointHost = \"$name\""
e2e_ping_gateway || e2e_fail "no echo reply through the tunnel"
endpoint_shown() { # address
    [ -z "$VPNCTL" ] && return 0
    setpriv --reuid=1000 --regid=1000 --clear-groups "$VPNCTL" status |
        grep -qx "endpoint: *$1:$E2E_GATEWAY_PORT ($name)"
}
endpoint_shown "$E2E_GATEWAY_UNDERLAY" || e2e_fail "vpnctl status shows no endpoint: $("$VPNCTL" status)"
# More than 10 s without traffic: the gateway's passive keep-alive, which would reach the
# device from the new address and let WireGuard's roaming hide the fault, is spent.
sleep 12
# The old address goes first: deleting a subnet's primary address takes its secondaries along.
ip -n "$E2E_GATEWAY_NS" address del "$E2E_GATEWAY_UNDERLAY/24" dev veth-gw &&
    ip -n "$E2E_GATEWAY_NS" address add "$new_address/24" dev veth-gw ||
    e2e_fail "cannot move the gateway"
e2e_world_hosts "$new_address $name"
moved=$(date +%s%N)
until ping -n -q -c 1 -W 1 "$E2E_GATEWAY_TUNNEL_ADDRESS" >/dev/null 2>&1; do
    [ $(($(date +%s%N) - moved)) -lt 120000000000 ] ||
        e2e_fail "the moved gateway was not reached within 120 s: $(journalctl -u "$tunnel_unit" --no-pager | tail -5)"
done
back_ms=$((($(date +%s%N) - moved) / 1000000))
e2e_status && echo "-- moved gateway: echo replies again ${back_ms} ms after the move, state $(e2e_status_field state)"
[ "$(e2e_status_field state)" = CONNECTED ] || e2e_fail "status after the move: $E2E_LAST_STATUS"
[ "$back_ms" -le 60000 ] || e2e_fail "the moved gateway took ${back_ms} ms (goal: 60 s)"
[ "$(journalctl -u "$tunnel_unit" | grep -c "gateway $name moved from $E2E_GATEWAY_UNDERLAY to $new_address")" = 1 ] ||
    e2e_fail "the journal should tell the move once: $(journalctl -u "$tunnel_unit" | tail -5)"
endpoint_shown "$new_address" || e2e_fail "vpnctl status does not show the new address: $("$VPNCTL" status)"
e2e_pass
