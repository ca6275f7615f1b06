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

# The hand-made tunnel has a key, an address and an interface name of its own, so that the
# gateway knows both and neither side disturbs the other.
hand_if=VelnaroHand
hand_address=10.250.10.22
(umask 077 && wg genkey >"$E2E_WORK/hand.key") || e2e_fail "wg genkey failed"
e2e_gateway_wg set "$E2E_GATEWAY_IF" peer "$(wg pubkey <"$E2E_WORK/hand.key")" \
    allowed-ips "$hand_address/32" || e2e_fail "cannot let the hand-made tunnel in"
hand_conf=$E2E_WORK/hand.conf
(umask 077 && cat >"$hand_conf" <<CONF
[Interface]
PrivateKey = $(cat "$E2E_WORK/hand.key")

[Peer]
PublicKey = $GATEWAY_PUBLIC_KEY
Endpoint = $E2E_GATEWAY_UNDERLAY:$E2E_GATEWAY_PORT
AllowedIPs = $E2E_TUNNEL_NETWORK
PersistentKeepalive = 25
CONF
)

# wg-quick@ reads /etc/wireguard/NAME.conf; in the world /etc is the host's, so a drop-in
# (in the world's private unit folder) points it at the same configuration in the work folder.
quick_unit=wg-quick@$hand_if.service
quick_conf=$E2E_WORK/quick/$hand_if.conf
mkdir -p "$E2E_WORK/quick" /etc/systemd/system/wg-quick@.service.d
(umask 077 && sed "/^\[Peer\]/i Address = $hand_address/32\n" "$hand_conf" >"$quick_conf")
cat >/etc/systemd/system/wg-quick@.service.d/bench.conf <<UNIT
[Service]
ExecStart=
ExecStart=/usr/bin/wg-quick up $quick_conf
ExecStop=
ExecStop=/usr/bin/wg-quick down $quick_conf
UNIT
systemctl daemon-reload || e2e_fail "daemon-reload failed"

quick_down() {
    systemctl stop "$quick_unit" || e2e_fail "wg-quick down failed"
    e2e_wait_until 10 test ! -e "/run/wireguard/$hand_if.sock" || e2e_fail "the wg-quick tunnel stays"
}
hand_down() {
    ip link del dev "$hand_if" 2>/dev/null
    e2e_wait_until 10 test ! -e "/run/wireguard/$hand_if.sock" || e2e_fail "the hand-made tunnel stays"
}
service_down() {
    e2e_expect STOP ACCEPTED
    e2e_wait_until 20 e2e_interface_absent || e2e_fail "the service's tunnel stays after STOP"
}

results=$E2E_WORK/rounds
: >"$results"
for ((round = 1; round <= rounds; round++)); do
    timing hand "$hand_if" "$hand_conf" "$hand_address/32" "$E2E_TUNNEL_NETWORK" | tee -a "$results" ||
        e2e_fail "hand-made round $round failed"
    hand_down
    timing wg-quick "$quick_unit" "$hand_if" | tee -a "$results" ||
        e2e_fail "wg-quick round $round failed"
    quick_down
    timing service "$E2E_SOCKET" "$config" "$tunnel_unit" "$E2E_TUNNEL_INTERFACE" | tee -a "$results" ||
        e2e_fail "service round $round failed"
    service_down
done
timing summary <"$results"
