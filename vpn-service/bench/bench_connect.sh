#!/usr/bin/env bash
# Time from APPLY_CONFIG to STATUS CONNECTED, against the same tunnel brought up by hand
# (wireguard-go, wg setconf, ip address/link/route, until its first handshake) and by
# `systemctl start wg-quick@` (wireguard-tools' unit, on the same wireguard-go: the kernel has
# no WireGuard module here), all in one run against one gateway, alternating, and the median
# of each step of each (see connect_timing.py for what each step is).
# Usage (root): vpn-service/bench/bench_connect.sh BUILD_DIR [ROUNDS, default 7]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/world.sh"
bench_world_begin "$0" "$@"
rounds=${2:-7}
timing() { python3 "$BENCH_DIR/connect_timing.py" "$@"; }

bench_world_ready
tunnel_unit=WireGuardTunnel-VelnaroTunnel.service
config=$E2E_WORK/tunnel.json
e2e_config >"$config"

bench_second_peer

hand_down() {
    ip link del dev "$HAND_IF" 2>/dev/null
    e2e_wait_until 10 test ! -e "/run/wireguard/$HAND_IF.sock" || e2e_fail "the hand-made tunnel stays"
}
service_down() {
    e2e_expect STOP ACCEPTED
    e2e_wait_until 20 e2e_interface_absent || e2e_fail "the service's tunnel stays after STOP"
}

results=$E2E_WORK/rounds
: >"$results"
for ((round = 1; round <= rounds; round++)); do
    timing hand "$HAND_IF" "$HAND_CONF" "$HAND_ADDRESS/32" "$E2E_TUNNEL_NETWORK" | tee -a "$results" ||
        e2e_fail "hand-made round $round failed"
    hand_down
    timing wg-quick "$QUICK_UNIT" "$HAND_IF" | tee -a "$results" ||
        e2e_fail "wg-quick round $round failed"
    bench_quick_down
    timing service "$E2E_SOCKET" "$config" "$tunnel_unit" "$E2E_TUNNEL_INTERFACE" | tee -a "$results" ||
        e2e_fail "service round $round failed"
    service_down
done
timing summary <"$results"
