# shellcheck shell=bash
# The world the service's end-to-end benchmarks run in: the end-to-end scenarios' own (see
# ../tests/e2e/lib.sh and its README). systemd runs as PID 1 of private pid, mount, network,
# UTS and IPC namespaces with private /tmp, /var/tmp, /run, /var/lib and /var/log and its
# tmpfiles units masked (the boot is refused otherwise); a gateway runs wireguard-go in a
# second network namespace. Nothing of it is visible from the host, and it ends with the
# script.
#
# A benchmark script sources this file, calls bench_world_begin "$0" BUILD_DIR [ARGS...]
# first (outside, it boots the world and runs the script again inside; it never returns
# there), then, inside, bench_world_ready or bench_world_connected.

# shellcheck source=../tests/e2e/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/lib.sh"

# The folder of the bench scripts, valid inside the world too (the checkout stays visible).
BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The build folder with the bench programs (set inside the world by bench_world_begin).
BENCH_BUILD=

# Outside: prerequisites, build products, then the world, where the script runs again with
# the same arguments (the build folder first). Inside: BENCH_BUILD is set, and it returns.
bench_world_begin() { # script build-dir [args...]
    e2e_begin "$@"
    BENCH_BUILD=$VELNARO_BUILD_DIR
}

# Inside: the gateway up, the service installed and answering, the device's identity made
# and let in by the gateway. No tunnel yet.
bench_world_ready() {
    e2e_start_gateway
    e2e_install
    e2e_ensure_identity
    e2e_gateway_allow "$DEVICE_PUBLIC_KEY"
}

# Inside: as bench_world_ready, and the tunnel applied and CONNECTED.
bench_world_connected() {
    bench_world_ready
    e2e_apply "$(e2e_config)"
    e2e_response_is ACCEPTED || e2e_fail "APPLY_CONFIG answered $E2E_RESPONSE"
    e2e_wait_state 20 CONNECTED
}
