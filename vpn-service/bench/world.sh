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

# Inside: a second peer of the gateway, with a key, an address and an interface name of its
# own, so that it and the service's tunnel never disturb each other (they run one at a time:
# both route the tunnel's network). HAND_CONF is its configuration for `wg setconf`; QUICK_UNIT
# brings the same peer up with wireguard-tools' `wg-quick@` unit (on wireguard-go: the kernel
# has no WireGuard module here). wg-quick@ reads /etc/wireguard/NAME.conf, and in the world /etc
# is the host's, so a drop-in in the world's private unit folder points it at the work folder.
HAND_IF=VelnaroHand
HAND_ADDRESS=10.250.10.22
HAND_CONF=
QUICK_UNIT=wg-quick@$HAND_IF.service
bench_second_peer() {
    local key=$E2E_WORK/hand.key quick_conf=$E2E_WORK/quick/$HAND_IF.conf
    (umask 077 && wg genkey >"$key") || e2e_fail "wg genkey failed"
    e2e_gateway_wg set "$E2E_GATEWAY_IF" peer "$(wg pubkey <"$key")" \
        allowed-ips "$HAND_ADDRESS/32" || e2e_fail "cannot let the second peer in"
    HAND_CONF=$E2E_WORK/hand.conf
    (umask 077 && cat >"$HAND_CONF" <<CONF
[Interface]
PrivateKey = $(cat "$key")

[Peer]
PublicKey = $GATEWAY_PUBLIC_KEY
Endpoint = $E2E_GATEWAY_UNDERLAY:$E2E_GATEWAY_PORT
AllowedIPs = $E2E_TUNNEL_NETWORK
PersistentKeepalive = 25
CONF
)
    mkdir -p "$E2E_WORK/quick" /etc/systemd/system/wg-quick@.service.d
    (umask 077 && sed "/^\[Peer\]/i Address = $HAND_ADDRESS/32\n" "$HAND_CONF" >"$quick_conf")
    cat >/etc/systemd/system/wg-quick@.service.d/bench.conf <<UNIT
[Service]
ExecStart=
ExecStart=/usr/bin/wg-quick up $quick_conf
ExecStop=
ExecStop=/usr/bin/wg-quick down $quick_conf
UNIT
    systemctl daemon-reload || e2e_fail "daemon-reload failed"
}

bench_quick_down() {
    systemctl stop "$QUICK_UNIT" || e2e_fail "wg-quick down failed"
    e2e_wait_until 10 test ! -e "/run/wireguard/$HAND_IF.sock" || e2e_fail "the wg-quick tunnel stays"
}
