#!/usr/bin/env bash
# The service can go away and come back without the tunnel noticing, and a reinstallation
# keeps the identity and the stored configuration.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_begin "$0" "$@"

e2e_connect
e2e_expect GET_PUBLIC_IDENTITY PUBLIC_IDENTITY
identity=$(jq -c .payload <<<"$E2E_RESPONSE")
tunnel_pid=$(e2e_tunnel_service_pids)
service_pid=$(e2e_service_pids)
[ "$(wc -w <<<"$service_pid")" -eq 1 ] || e2e_fail "expected one service process, found '$service_pid'"

# The Stop control, as the local service manager delivers it.
kill -TERM "$service_pid"
e2e_wait_until 15 e2e_no_service_process || e2e_fail "the service ignored its stop signal"
e2e_wait_until 5 e2e_service_state_is STOPPED || e2e_fail "service state $(e2e_service_state), expected STOPPED"
[ "$(e2e_tunnel_service_pids)" = "$tunnel_pid" ] || e2e_fail "the tunnel went with the service"
e2e_ping_gateway || e2e_fail "no echo reply while the service was stopped"

e2e_install ALREADY_INSTALLED
[ "$(e2e_service_pids)" != "$service_pid" ] || e2e_fail "the old service process is back"
e2e_expect GET_PUBLIC_IDENTITY PUBLIC_IDENTITY
[ "$(jq -c .payload <<<"$E2E_RESPONSE")" = "$identity" ] ||
    e2e_fail "identity changed across a restart: $identity became $E2E_RESPONSE"
e2e_status
[ "$(e2e_status_field state)" = CONNECTED ] || e2e_fail "after the restart the status is $E2E_LAST_STATUS"
[ "$(e2e_tunnel_service_pids)" = "$tunnel_pid" ] || e2e_fail "the restart replaced the tunnel process"

e2e_uninstall
e2e_wait_until 20 e2e_no_service_process || e2e_fail "the service outlived its removal"
e2e_wait_until 20 e2e_no_tunnel_processes || e2e_fail "the tunnel outlived the removal"
e2e_install INSTALLED
e2e_expect GET_PUBLIC_IDENTITY PUBLIC_IDENTITY
[ "$(jq -c .payload <<<"$E2E_RESPONSE")" = "$identity" ] ||
    e2e_fail "identity changed across a reinstallation: $identity became $E2E_RESPONSE"
e2e_status
[ "$(e2e_status_field state)" = DISCONNECTED ] || e2e_fail "a fresh installation reports $E2E_LAST_STATUS"
e2e_expect REPAIR ACCEPTED  # the stored configuration is still there
e2e_wait_state 20 CONNECTED
e2e_ping_gateway || e2e_fail "no echo reply after the reinstallation"
e2e_pass
