#!/usr/bin/env bash
# Throughput of one TCP stream through the tunnel (iperf3 from the device to the gateway's
# tunnel address), the service's tunnel against the same peer brought up by wg-quick@ on the
# same wireguard-go, alternating, in the world of world.sh (iperf3 runs only inside it).
# Usage (root): vpn-service/bench/bench_throughput.sh BUILD_DIR [ROUNDS, default 3] [SECONDS, default 10] [variants]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/world.sh"
bench_world_begin "$0" "$@"
rounds=${2:-3}
seconds=${3:-10}
variants=${4:-}
command -v iperf3 >/dev/null || e2e_fail "iperf3 is not installed (scripts/install-deps --all)"

bench_world_ready
bench_second_peer
ip netns exec "$E2E_GATEWAY_NS" iperf3 --server --daemon --bind "$E2E_GATEWAY_TUNNEL_ADDRESS" ||
    e2e_fail "iperf3 does not start in the gateway"
results=$E2E_WORK/throughput
: >"$results"

# One stream for the whole window; what the gateway received, in Mbit/s.
measure() { # kind
    local mbits
    mbits=$(iperf3 --client "$E2E_GATEWAY_TUNNEL_ADDRESS" --time "$seconds" --json |
        jq '.end.sum_received.bits_per_second / 1e6') || e2e_fail "iperf3 over the $1 tunnel failed"
    echo "$1 $mbits" | tee -a "$results"
}

for ((round = 1; round <= rounds; round++)); do
    e2e_apply "$(e2e_config)"
    e2e_response_is ACCEPTED || e2e_fail "APPLY_CONFIG answered $E2E_RESPONSE"
    e2e_wait_state 20 CONNECTED
    measure service
    # With "variants", the same tunnel without the parts that keep its ranges held: first
    # without the nftables table, then also without the policy rules (its route in main).
    if [ "$variants" = variants ]; then
        nft delete table inet velnaro || e2e_fail "no table to take away"
        measure service-without-table
        for priority in 8278 8279 8280; do ip rule del priority $priority; done
        ip route add "$E2E_TUNNEL_NETWORK" dev "$E2E_TUNNEL_INTERFACE" || e2e_fail "no route in main"
        measure service-without-table-and-rules
    fi
    e2e_expect STOP ACCEPTED
    e2e_wait_until 20 e2e_interface_absent || e2e_fail "the service's tunnel stays after STOP"
    systemctl start "$QUICK_UNIT" || e2e_fail "wg-quick up failed"
    measure wg-quick
    bench_quick_down
done
python3 - "$results" <<'PY'
import statistics, sys
rounds = [line.split() for line in open(sys.argv[1])]
median = {kind: statistics.median(float(v) for k, v in rounds if k == kind)
          for kind in dict.fromkeys(k for k, _ in rounds)}
for kind, value in median.items():
    print(f"{kind}: median {value:.1f} Mbit/s")
print(f"service / wg-quick@: {median['service'] / median['wg-quick']:.2f}x")
PY
