#!/usr/bin/env bash
# What each directive of the tunnel unit's sandbox costs at its start: the unit as the service
# writes it, then the same unit without one directive at a time (every line of that name), and
# with none, each running the service executable until its main returns at once (--version).
# The time is systemd's own, from the fork of the unit's process to its exit
# (ExecMainStartTimestampMonotonic to ExecMainExitTimestampMonotonic); the variants alternate
# within each round, and the median of the rounds is shown.
# Usage (root): vpn-service/bench/bench_unit_sandbox.sh BUILD_DIR [ROUNDS, default 9]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/world.sh"
bench_world_begin "$0" "$@"
rounds=${2:-9}

bench_world_connected
written=/etc/systemd/system/WireGuardTunnel-VelnaroTunnel.service
# The sandbox: the [Service] lines but what runs the tunnel and how it is stopped.
sandbox=$(sed -n '/^\[Service\]/,/^\[/p' "$written" | grep '=' | grep -vE '^(ExecStart|Type|KillMode)=')
e2e_expect STOP ACCEPTED

labels=()
probe() { # label directives
    local n=${#labels[@]}
    labels+=("$1")
    printf '[Service]\nType=oneshot\nRemainAfterExit=yes\nExecStart=-%s --version\n%s\n' \
        "$VPN_SERVICE" "$2" >"/etc/systemd/system/velnaro-probe$n.service"
}
probe "as written" "$sandbox"
for name in $(cut -d= -f1 <<<"$sandbox" | sort -u); do
    probe "without $name" "$(grep -v "^$name=" <<<"$sandbox")"
done
probe "no sandbox" ""
systemctl daemon-reload || e2e_fail "daemon-reload failed"

declare -A times
for ((round = 0; round < rounds; round++)); do
    for n in "${!labels[@]}"; do
        unit=velnaro-probe$n.service
        systemctl start "$unit" || e2e_fail "$unit did not start"
        started=$(systemctl show -P ExecMainStartTimestampMonotonic "$unit")
        ended=$(systemctl show -P ExecMainExitTimestampMonotonic "$unit")
        systemctl stop "$unit"
        times[$n]+="$((ended - started)) "
    done
done
echo "fork to exit, median of $rounds rounds (ms):"
for n in "${!labels[@]}"; do
    median=$(tr ' ' '\n' <<<"${times[$n]}" | grep . | sort -n | sed -n "$(((rounds + 1) / 2))p")
    awk -v l="${labels[$n]}" -v us="$median" 'BEGIN { printf "  %-36s %6.1f\n", l, us / 1000 }'
done
