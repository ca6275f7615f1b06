#!/usr/bin/env bash
# A hostile local network gives the device a subnet inside the tunnel's range and a route over
# half of it, and gets nothing for the range: right after each answer (the first APPLY_CONFIG,
# a range added, START after STOP, REPAIR), from sockets bound to its interface, across two
# (played) boots, through crashes, a failed start and a service restart; and packets it sends
# posing as the range reach no listener. STOP and removal (of a killed tunnel too) leave rules, routes and nftables as before.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
command -v nft >/dev/null 2>&1 || e2e_skip "needs nft"
e2e_begin "$0" "$@"

hostile=velhostile
overlap=10.250.5.1 # the hostile router, in the device's connected subnet
pushed=10.250.100.1 # covered by the pushed route only
added=10.99.0.5 added_range=10.99.0.0/24 # a range a later configuration adds
blocked_line="traffic to $E2E_TUNNEL_NETWORK blocked until the tunnel is up"
pingers=()

routing_state() { ip -4 rule; ip -6 rule; ip -4 route show table all; ip -6 route show table all; nft list ruleset; }
ping_once() { ping -n -q -c 1 -W 2 "$1" >/dev/null 2>&1; }

# It counts IPv4 packets for the range and queries for a range address's link address (an
# attempt to send there); answers to its own queries for the device's address are not traffic.
start_hostile_network() {
    ip netns add $hostile && ip link add veth-lan type veth peer name veth-hostile netns $hostile &&
        ip address add 10.250.5.23/24 dev veth-lan && ip address add 192.168.50.2/24 dev veth-lan &&
        ip link set dev veth-lan up && ip -n $hostile address add $overlap/24 dev veth-hostile &&
        ip -n $hostile address add 192.168.50.1/24 dev veth-hostile && ip -n $hostile link set dev veth-hostile up &&
        ip route add 10.250.0.0/17 via $overlap dev veth-lan onlink && ip route add $added_range via $overlap dev veth-lan ||
        e2e_fail "cannot set up the hostile network"
    ip netns exec $hostile nft -f - <<NFT || e2e_fail "cannot set up the hostile network's counters"
table netdev hostile {
    counter to_range {}
    chain ingress {
        type filter hook ingress device veth-hostile priority 0;
        ip daddr { $E2E_TUNNEL_NETWORK, $added_range } counter name to_range
        arp operation request arp daddr ip $E2E_TUNNEL_NETWORK counter name to_range
    }
}
NFT
}

hostile_count() { ip netns exec $hostile nft -j list counter netdev hostile to_range | jq '[.nftables[] | .counter.packets? // empty] | first'; }
expect_nothing_leaked() { # moment
    [ "$(hostile_count)" = 0 ] || e2e_fail "$1: the local network received $(hostile_count) packets for the range"
}

# Down, the range refused here ("network unreachable"), and vpnctl says so.
expect_blocked() { # moment
    e2e_wait_until 10 e2e_interface_absent || e2e_fail "$1: the interface is still there"
    local answer
    answer=$(ping -n -c 1 -W 1 $overlap 2>&1) && e2e_fail "$1: $overlap answered: $answer"
    grep -q "Network is unreachable" <<<"$answer" || e2e_fail "$1: not refused locally: $answer"
    [ -z "$VPNCTL" ] || "$VPNCTL" status | grep -qxF "$blocked_line" || e2e_fail "$1: vpnctl status says $("$VPNCTL" status)"
}

expect_connected() { # moment
    e2e_wait_state 20 CONNECTED
    ping_once $overlap && ping_once $pushed || e2e_fail "$1: no echo reply through the tunnel"
}

expect_as_before() { # moment
    [ "$(routing_state)" = "$before" ] || e2e_fail "$1 left the routing changed: $(diff <(echo "$before") <(routing_state))"
}

e2e_start_gateway
ip -n "$E2E_GATEWAY_NS" address add $overlap/32 dev lo && ip -n "$E2E_GATEWAY_NS" address add $pushed/32 dev lo ||
    e2e_fail "cannot address the gateway"
start_hostile_network
ping_once 192.168.50.1 && ping_once $overlap || e2e_fail "the local network does not answer"
[ "$(hostile_count)" -gt 0 ] || e2e_fail "the counter saw nothing of the pings before the tunnel"
e2e_wait_until 10 eval '[ -z "$(ip -6 address show tentative)" ]' || e2e_fail "IPv6 addresses stay tentative"
before=$(routing_state)
ip netns exec $hostile nft reset counters >/dev/null

e2e_install
e2e_ensure_identity
e2e_gateway_allow "$DEVICE_PUBLIC_KEY"
# The four edges. An ordinary account sends to the range every 2 ms; what the local network
# received is counted from each answer on.
probe() { # targets...
    (while :; do setpriv --reuid=1000 --regid=1000 --clear-groups python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
while True:
    for target in sys.argv[1:]:
        try: s.sendto(b"p", (target, 9))
        except OSError: pass
    time.sleep(0.002)' "$@"; sleep 0.01; done) &
    pingers+=($!)
}
probe $overlap $pushed
accepted_then_nothing() { # moment request-json
    e2e_request "$2" && e2e_response_is ACCEPTED && ip netns exec $hostile nft reset counters >/dev/null ||
        e2e_fail "$1 answered $E2E_RESPONSE"
    sleep 1
    expect_nothing_leaked "$1"
}
config_request() { echo "{\"command\":\"APPLY_CONFIG\",\"payload\":$(e2e_config "${1:-.}")}"; }
accepted_then_nothing "the first APPLY_CONFIG" "$(config_request)"
e2e_wait_state 20 CONNECTED
probe $added
accepted_then_nothing "a range added" "$(config_request ".allowedIps += [\"$added_range\"]")"
e2e_expect STOP ACCEPTED
accepted_then_nothing "START after STOP" '{"command":"START"}'
accepted_then_nothing "REPAIR" '{"command":"REPAIR"}'
e2e_wait_state 20 CONNECTED

# Sockets bound to the local interface, with the tunnel up and down: refused at once.
bound_send() { # option
    setpriv --reuid=1000 --regid=1000 --clear-groups python3 - "$1" $overlap <<'PY'
import socket, struct, sys  # IP_PKTINFO is 8: Python does not name it
option, target = sys.argv[1], sys.argv[2]
index = socket.if_nametoindex("veth-lan")
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
if option == "bindtodevice": s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"veth-lan")
if option == "unicast_if": s.setsockopt(socket.IPPROTO_IP, 50, struct.pack("!I", index))
ancillary = [(socket.IPPROTO_IP, 8, struct.pack("=I4s4s", index, bytes(4), bytes(4)))]
for _ in range(5):
    try: s.sendmsg([b"b"], ancillary if option == "pktinfo" else [], 0, (target, 9))
    except OSError: pass
PY
}
expect_bound_refused() { # moment
    ip netns exec $hostile nft reset counters >/dev/null
    for option in bindtodevice unicast_if pktinfo; do bound_send $option; done
    setpriv --reuid=1000 --regid=1000 --clear-groups ping -n -q -c 3 -i 0.2 -W 1 -I veth-lan $overlap >/dev/null 2>&1
    expect_nothing_leaked "$1: sockets bound to the local interface"
}
expect_bound_refused "tunnel up"
# Packets from the local network posing as the range, to the LAN address and the tunnel's.
expect_spoofs_dropped() { # moment
    ip -n $hostile address add 10.250.77.7/32 dev lo 2>/dev/null
    ip -n $hostile route replace $E2E_DEVICE_TUNNEL_ADDRESS/32 via 192.168.50.2 src 10.250.77.7
    local kept got; kept=$(sysctl -n net.ipv4.conf.all.rp_filter)
    for filter in 0 1 2; do
        sysctl -qw net.ipv4.conf.all.rp_filter=$filter net.ipv4.conf.veth-lan.rp_filter=$filter
        for target in 192.168.50.2 $E2E_DEVICE_TUNNEL_ADDRESS; do
            got=$(timeout 3 setpriv --reuid=1000 --regid=1000 --clear-groups python3 -c '
import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", 4000)); s.settimeout(2)
try: print(s.recvfrom(16)[1][0])
except OSError: pass' & sleep 0.3
                ip netns exec $hostile python3 -c 'import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("10.250.77.7", 0))
for _ in range(5): s.sendto(b"s", (sys.argv[1], 4000))' "$target"; wait)
            [ -z "$got" ] || e2e_fail "$1: rp_filter=$filter: a listener got a packet from $got sent to $target"
        done
    done
    sysctl -qw net.ipv4.conf.all.rp_filter=$kept net.ipv4.conf.veth-lan.rp_filter=$kept
}
expect_spoofs_dropped "tunnel up"
systemctl stop WireGuardTunnel-VelnaroTunnel.service
expect_bound_refused "tunnel down"
expect_spoofs_dropped "tunnel down"

# Boot, played (the world cannot restart its kernel): units killed, the kernel's state of the
# tunnel and the local route gone; then the early-boot unit, the local route, the service.
systemctl is-enabled -q VelnaroVpnService-ranges.service &&
    systemctl show -p Before VelnaroVpnService-ranges.service | grep -q network-pre.target ||
    e2e_fail "the early-boot unit is not enabled before network-pre.target"
for boot in 1 2; do
    systemctl kill -s KILL VelnaroVpnService.service WireGuardTunnel-VelnaroTunnel.service
    systemctl stop VelnaroVpnService.service WireGuardTunnel-VelnaroTunnel.service 2>/dev/null
    ip link del $E2E_TUNNEL_INTERFACE 2>/dev/null
    nft delete table inet velnaro || e2e_fail "boot $boot: no table to lose"
    ip route del 10.250.0.0/17 || e2e_fail "boot $boot: no route to lose"
    while ip rule del priority 8279 2>/dev/null || ip rule del priority 8280 2>/dev/null ||
        ip rule del priority 8278 2>/dev/null; do :; done
    systemctl start VelnaroVpnService-ranges.service || e2e_fail "boot $boot: the early-boot unit failed"
    ip netns exec $hostile nft reset counters >/dev/null
    # While the ranges are held the kernel refuses a gateway inside them (it looks the gateway up
    # through the rules), so the local network's route is forced in with "onlink".
    ip route add 10.250.0.0/17 via $overlap dev veth-lan onlink || e2e_fail "boot $boot: the local network's route"
    systemctl start VelnaroVpnService.service WireGuardTunnel-VelnaroTunnel.service && e2e_wait_state 20 CONNECTED
    expect_nothing_leaked "boot $boot"
done
# grep -c reads to the end: with -q, journalctl's SIGPIPE would fail the pipe.
[ "$(journalctl --no-pager | grep -c "tunnel ranges held from boot")" -ge 2 ] ||
    e2e_fail "the journal does not say at each boot why the ranges are held"

for pid in "${pingers[@]}"; do pkill -P "$pid"; kill "$pid"; done 2>/dev/null
wait "${pingers[@]}" 2>/dev/null
pingers=()
accepted_then_nothing "back to one range" "$(config_request)"
expect_connected "connected"
ping_once 192.168.50.1 || e2e_fail "the local network outside the range stopped answering"
for target in $overlap $pushed; do # without pause until the end, starting over when ping gives up
    (while :; do ping -n -q -i 0.05 -W 1 $target >/dev/null 2>&1; sleep 0.05; done) &
    pingers+=($!)
done

for role in tunnel_daemon tunnel_service; do
    victim=$(e2e_${role}_pids)
    [ "$(wc -w <<<"$victim")" -eq 1 ] || e2e_fail "expected one $role process, found '$victim'"
    kill -KILL "$victim"
    e2e_wait_status 10 '.state == "ERROR"' || e2e_fail "after killing the $role: $E2E_STATE_TRAIL"
    expect_blocked "$role killed"
    e2e_expect REPAIR ACCEPTED
    expect_connected "repaired after the $role was killed"
done

e2e_apply "$(e2e_config '.endpointHost = "gateway.invalid"')"
e2e_wait_status 20 '.detailCode == "TUNNEL_ENDPOINT_UNRESOLVED"' || e2e_fail "an unresolvable endpoint gave $E2E_STATE_TRAIL"
expect_blocked "endpoint unresolved"
e2e_wait_until 5 e2e_journal_says WireGuardTunnel-VelnaroTunnel "blocked until the tunnel is up (its endpoint does not resolve)" ||
    e2e_fail "the journal does not say why the range is blocked"
systemctl restart VelnaroVpnService.service && e2e_wait_until 15 e2e_service_answers || e2e_fail "the service did not restart"
expect_blocked "service restarted"
e2e_apply "$(e2e_config)"
expect_connected "connected after the service's restart"
for pid in "${pingers[@]}"; do pkill -P "$pid"; kill "$pid"; done 2>/dev/null
wait "${pingers[@]}" 2>/dev/null
expect_nothing_leaked "through crashes, a failed start and a restart"

e2e_expect STOP ACCEPTED
e2e_wait_until 10 e2e_no_tunnel_processes || e2e_fail "the tunnel outlived STOP"
expect_as_before "STOP"
e2e_apply "$(e2e_config)"
e2e_wait_state 20 CONNECTED
kill -KILL "$(e2e_tunnel_service_pids)"
expect_blocked "killed before removal"
e2e_uninstall
e2e_wait_until 20 e2e_no_service_process || e2e_fail "the service outlived its removal"
expect_as_before "removal"
expect_nothing_leaked "at the end"
e2e_pass
