#!/usr/bin/env bash
# How often each thread of the idle service wakes: the context switches (voluntary and not) of
# every thread of `vpn-service --service` over a window with no client, in the world of
# world.sh, first with the service just installed, then with the tunnel applied and CONNECTED
# (the tunnel's own process is counted too, for comparison; its endpoint is a name, which it
# looks up again every 30 s on a thread of its own).
# Usage (root): vpn-service/bench/bench_idle.sh BUILD_DIR [SECONDS, default 60]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/world.sh"
bench_world_begin "$0" "$@"
window=${2:-60}

# One line per thread of a process: its id, its name and its context switches so far.
switches_of() { # pid
    local task
    for task in /proc/"$1"/task/*; do
        awk -v tid="${task##*/}" -v name="$(cat "$task/comm" 2>/dev/null)" \
            '/^(non)?voluntary_ctxt_switches:/ { n += $2 } END { print tid, name, n }' \
            "$task/status" 2>/dev/null
    done | sort
}

# The switches of each thread of each process over the window, one line per thread.
count_idle() { # phase pid...
    local phase=$1 pid before=() after=() i
    shift
    for pid in "$@"; do before+=("$(switches_of "$pid")"); done
    sleep "$window"
    for pid in "$@"; do after+=("$(switches_of "$pid")"); done
    i=0
    for pid in "$@"; do
        join <(echo "${before[$i]}") <(echo "${after[$i]}") |
            awk -v phase="$phase" -v pid="$pid" -v window="$window" \
                '{ printf "%s: pid %s thread %s (%s): %d switches in %d s\n", phase, pid, $1, $2, $5 - $3, window }'
        i=$((i + 1))
    done
}

bench_world_ready
service=$(e2e_service_pids | head -n1)
[ -n "$service" ] || e2e_fail "no service process"
sleep 1
count_idle installed "$service"

# The endpoint is a name (from the world's hosts file), so the tunnel process also follows it:
# one wake-up per lookup interval on a thread of its own.
e2e_world_hosts "$E2E_GATEWAY_UNDERLAY gateway.velnaro.test"
e2e_apply "$(e2e_config '.endpointHost = "gateway.velnaro.test"')"
e2e_response_is ACCEPTED || e2e_fail "APPLY_CONFIG answered $E2E_RESPONSE"
e2e_wait_state 20 CONNECTED
sleep 1
count_idle connected "$service" $(e2e_tunnel_service_pids)
