#!/usr/bin/env bash
# STOP takes the tunnel down completely, START brings it back, and REPAIR rebuilds it from
# the stored file after either of its processes was killed outright.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_begin "$0" "$@"

e2e_connect

e2e_expect STOP ACCEPTED
e2e_status
jq -e '.state == "DISCONNECTED" and .detailCode == null and .lastHandshakeUnixSeconds == null
       and .rxBytes == 0 and .txBytes == 0' <<<"$E2E_LAST_STATUS" >/dev/null ||
    e2e_fail "after STOP the status is $E2E_LAST_STATUS"
e2e_wait_until 10 e2e_interface_absent || e2e_fail "the tunnel interface outlived STOP"
e2e_wait_until 10 e2e_no_tunnel_processes ||
    e2e_fail "tunnel processes outlived STOP: $(e2e_tunnel_service_pids) $(e2e_tunnel_daemon_pids)"
e2e_ping_gateway 1 && e2e_fail "the gateway answered through a stopped tunnel"
e2e_expect STOP ACCEPTED  # stopping a stopped tunnel is not an error

e2e_expect START ACCEPTED
e2e_wait_state 20 CONNECTED
e2e_ping_gateway || e2e_fail "no echo reply after START"

# Whichever of the two tunnel processes dies abruptly, the other goes too, the interface is
# released, the tunnel is reported as failed (not as a plain disconnection), and REPAIR
# brings it back from the stored file.
for role in tunnel_service tunnel_daemon; do
    victim=$(e2e_${role}_pids)
    [ -n "$victim" ] && [ "$(wc -w <<<"$victim")" -eq 1 ] || e2e_fail "expected one $role process, found '$victim'"
    kill -KILL "$victim"
    e2e_wait_status 10 '.state == "ERROR" and .detailCode == "TUNNEL_SERVICE_FAILED"' ||
        e2e_fail "after killing the $role process the states were $E2E_STATE_TRAIL"
    e2e_wait_until 10 e2e_no_tunnel_processes ||
        e2e_fail "killing the $role process left $(e2e_tunnel_service_pids) $(e2e_tunnel_daemon_pids) running"
    e2e_wait_until 10 e2e_interface_absent || e2e_fail "killing the $role process left the interface behind"

    e2e_expect REPAIR ACCEPTED
    e2e_wait_state 20 CONNECTED
    e2e_ping_gateway || e2e_fail "no echo reply after REPAIR following the $role's death"
done
e2e_pass
