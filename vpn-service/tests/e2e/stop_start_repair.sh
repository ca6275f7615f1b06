#!/usr/bin/env bash
# STOP takes the tunnel down completely, START brings it back, and REPAIR rebuilds it from
# the stored file after its process was killed outright.
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

victim=$(e2e_tunnel_service_pids)
[ -n "$victim" ] && [ "$(wc -w <<<"$victim")" -eq 1 ] || e2e_fail "expected one tunnel service process, found '$victim'"
kill -KILL "$victim"
e2e_wait_status 10 '.state != "CONNECTED"' || e2e_fail "still CONNECTED after the tunnel process was killed"

e2e_expect REPAIR ACCEPTED
e2e_wait_state 20 CONNECTED
[ "$(e2e_tunnel_service_pids)" != "$victim" ] || e2e_fail "REPAIR reported the killed process"
e2e_ping_gateway || e2e_fail "no echo reply after REPAIR"
e2e_pass
