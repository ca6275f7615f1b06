#!/usr/bin/env bash
# Removal takes the tunnel and the service away and leaves nothing of either running, while
# the identity stays in the data directory for a later installation.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_begin "$0" "$@"

# The units systemd still holds, with their load, active and sub states.
units_held() { systemctl list-units --all --plain --no-legend | grep -E 'VelnaroVpnService|WireGuardTunnel'; }
no_units_held() { [ -z "$(units_held)" ]; }

e2e_connect
e2e_uninstall
# The removal returns once both stops ended, their failures reset. systemd lets go of a unit
# without a file once it has also released the unit's control group, a moment later, and a
# unit that failed on its way down it would hold for good: waited for, bounded.
e2e_wait_until 10 no_units_held || e2e_fail "units still held after the removal: $(units_held)"
e2e_wait_until 20 e2e_no_tunnel_processes ||
    e2e_fail "tunnel processes outlived the removal: $(e2e_tunnel_service_pids) $(e2e_tunnel_daemon_pids)"
e2e_wait_until 20 e2e_no_service_process || e2e_fail "the service outlived its removal: $(e2e_service_pids)"
e2e_wait_until 10 e2e_interface_absent || e2e_fail "the tunnel interface outlived the removal"
[ "$(e2e_service_state)" = NOT_INSTALLED ] || e2e_fail "service state $(e2e_service_state) after removal"
if e2e_request '{"command":"GET_VERSION"}'; then
    e2e_fail "something still answers on the service socket: $E2E_RESPONSE"
fi
registrations=$(ls /etc/systemd/system | grep -E '^(VelnaroVpnService|WireGuardTunnel)')
[ -z "$registrations" ] || e2e_fail "unit files left behind: $registrations"
out=$("$VPN_SERVICE" --uninstall-service)
[ "$(jq -r .state <<<"$out")" = NOT_INSTALLED ] || e2e_fail "a second removal said $out"
[ -f "$PROGRAMDATA/Velnaro/vpn/identity.dat" ] || e2e_fail "the removal deleted the identity"
kill -0 "$GATEWAY_PID" 2>/dev/null || e2e_fail "the removal took the gateway's wireguard-go with it"
e2e_pass
