#!/usr/bin/env bash
# STOP's round trip (`vpnctl stop` with the tunnel up, to its answer) against `systemctl stop`
# of the same tunnel unit, alternating in one world, and the round trips of START and REPAIR
# (to their answers: neither waits for the tunnel to connect). Medians in milliseconds.
# Usage (root): vpn-service/bench/bench_stop.sh BUILD_DIR [ROUNDS, default 15]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/world.sh"
bench_world_begin "$0" "$@"
rounds=${2:-15}

bench_world_connected
[ -n "$VPNCTL" ] || e2e_fail "vpnctl is not built"
tunnel_unit=WireGuardTunnel-VelnaroTunnel.service

now_us() { echo $(($(date +%s%N) / 1000)); }
timed() { # label command...
    local start end
    start=$(now_us)
    "${@:2}" >/dev/null || e2e_fail "$1: $* failed"
    end=$(now_us)
    echo "$1 $((end - start))"
}
connected() {
    e2e_wait_state 20 CONNECTED
}

results=$E2E_WORK/rounds
: >"$results"
for ((round = 1; round <= rounds; round++)); do
    timed vpnctl-stop "$VPNCTL" stop >>"$results"
    timed vpnctl-start "$VPNCTL" start >>"$results"
    connected
    timed systemctl-stop systemctl stop "$tunnel_unit" >>"$results"
    "$VPNCTL" start >/dev/null || e2e_fail "start after systemctl stop failed"
    connected
    timed vpnctl-repair "$VPNCTL" repair >>"$results"
    connected
done
python3 - "$results" <<'PY'
import statistics, sys
times = {}
for line in open(sys.argv[1]):
    label, micros = line.split()
    times.setdefault(label, []).append(int(micros) / 1000)
for label, values in times.items():
    print(f"{label}: median {statistics.median(values):.1f} ms, min {min(values):.1f}, "
          f"max {max(values):.1f} ({len(values)} rounds)")
ratio = statistics.median(times["vpnctl-stop"]) / statistics.median(times["systemctl-stop"])
print(f"vpnctl stop / systemctl stop: {ratio:.2f}x")
PY
e2e_pass
