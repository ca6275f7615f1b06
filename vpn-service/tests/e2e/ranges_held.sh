#!/usr/bin/env bash
# The tunnel's ranges never reach a local network that claims them: a hostile network beside
# the gateway gives the device an overlapping subnet and a route over half the tunnel's range,
# and counts what it receives for the range while the tunnel connects, loses its daemon, loses
# its process, fails to start and outlives a restart of the service. STOP and removal leave
# the routing exactly as it was.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
command -v nft >/dev/null 2>&1 || e2e_skip "needs nft"
e2e_begin "$0" "$@"

hostile_ns=velhostile
overlap_target=10.250.5.1   # the hostile router's own address, in the device's connected subnet
pushed_target=10.250.100.1  # covered by the pushed route only
blocked_line="traffic to $E2E_TUNNEL_NETWORK blocked until the tunnel is up"
pingers=()

routing_state() {
    ip -4 rule show; ip -6 rule show
    ip -4 route show table all; ip -6 route show table all
    nft list ruleset
}

# The local network: 10.250.5.0/24 handed to the device, 10.250.0.0/17 pushed via its router,
# and a network outside the range that must keep working. It counts every IPv4 packet for the
# tunnel's range that reaches it, and every query for the link address of a range address (an
# attempt to send there); the device's answers to its own queries for the device's address
# are not traffic to the range.
start_hostile_network() {
    ip netns add "$hostile_ns" &&
        ip link add veth-lan type veth peer name veth-hostile netns "$hostile_ns" &&
        ip address add 10.250.5.23/24 dev veth-lan && ip address add 192.168.50.2/24 dev veth-lan &&
        ip link set dev veth-lan up &&
        ip -n "$hostile_ns" address add "$overlap_target/24" dev veth-hostile &&
        ip -n "$hostile_ns" address add 192.168.50.1/24 dev veth-hostile &&
        ip -n "$hostile_ns" link set dev veth-hostile up &&
        ip route add 10.250.0.0/17 via "$overlap_target" dev veth-lan ||
        e2e_fail "cannot set up the hostile network"
    ip netns exec "$hostile_ns" nft -f - <<NFT || e2e_fail "cannot set up the hostile network's counters"
table netdev hostile {
    chain ingress {
        type filter hook ingress device veth-hostile priority 0;
        ip daddr $E2E_TUNNEL_NETWORK counter name to_range
        arp operation request arp daddr ip $E2E_TUNNEL_NETWORK counter name to_range
        counter name everything
    }
    counter to_range {}
    counter everything {}
}
NFT
}

hostile_count() { # counter
    ip netns exec "$hostile_ns" nft -j list counter netdev hostile "$1" |
        jq '[.nftables[] | select(.counter) | .counter.packets] | first'
}

expect_nothing_leaked() { # moment
    local leaked
    leaked=$(hostile_count to_range)
    [ "$leaked" = 0 ] || e2e_fail "$1: the local network received $leaked packets for the tunnel's range"
}

ping_once() { ping -n -q -c 1 -W 2 "$1" >/dev/null 2>&1; }

# Pings both targets without pause until killed, starting over when ping gives up.
start_pinging() {
    local target
    for target in "$overlap_target" "$pushed_target"; do
        (while :; do ping -n -q -i 0.05 -W 1 "$target" >/dev/null 2>&1; sleep 0.05; done) &
        pingers+=($!)
    done
}

stop_pinging() {
    local pid
    for pid in "${pingers[@]}"; do
        pkill -P "$pid" 2>/dev/null
        kill "$pid" 2>/dev/null
    done
    wait "${pingers[@]}" 2>/dev/null
    pingers=()
}

# Down, with the range refused here ("network unreachable") and said so by vpnctl.
expect_blocked() { # moment
    e2e_wait_until 10 e2e_interface_absent || e2e_fail "$1: the interface is still there"
    local answer
    answer=$(ping -n -c 1 -W 1 "$overlap_target" 2>&1) && e2e_fail "$1: $overlap_target answered: $answer"
    grep -q "Network is unreachable" <<<"$answer" || e2e_fail "$1: not refused locally: $answer"
    if [ -n "$VPNCTL" ]; then
        "$VPNCTL" status | grep -qxF "$blocked_line" || e2e_fail "$1: vpnctl status says $("$VPNCTL" status)"
    fi
}

expect_connected() { # moment
    e2e_wait_state 20 CONNECTED
    ping_once "$overlap_target" && ping_once "$pushed_target" || e2e_fail "$1: no echo reply through the tunnel"
    if [ -n "$VPNCTL" ]; then
        "$VPNCTL" status | grep -q "blocked" && e2e_fail "$1: vpnctl status says blocked while connected"
    fi
}

e2e_start_gateway
# The gateway answers for the overlapping addresses, through the tunnel.
ip -n "$E2E_GATEWAY_NS" address add "$overlap_target/32" dev lo &&
    ip -n "$E2E_GATEWAY_NS" address add "$pushed_target/32" dev lo || e2e_fail "cannot address the gateway"
start_hostile_network
ping_once 192.168.50.1 || e2e_fail "the local network does not answer"
ping_once "$overlap_target" || e2e_fail "the overlapping subnet is not reachable before the tunnel"
# The links' IPv6 addresses reach the local table once their duplicate detection is done.
no_tentative_address() { [ -z "$(ip -6 address show tentative)" ]; }
e2e_wait_until 10 no_tentative_address || e2e_fail "IPv6 addresses stay tentative"
before=$(routing_state)
reference=$(hostile_count to_range)
ip netns exec "$hostile_ns" nft reset counters >/dev/null

e2e_install
e2e_ensure_identity
e2e_gateway_allow "$DEVICE_PUBLIC_KEY"
e2e_apply "$(e2e_config)"
e2e_response_is ACCEPTED || e2e_fail "APPLY_CONFIG answered $E2E_RESPONSE"
expect_connected "connected"
ping_once 192.168.50.1 || e2e_fail "the local network outside the range stopped answering"
[ "$(hostile_count everything)" -gt 0 ] || e2e_fail "the hostile network counts nothing at all"
expect_nothing_leaked "connected"
start_pinging

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
e2e_wait_status 20 '.state == "ERROR" and .detailCode == "TUNNEL_ENDPOINT_UNRESOLVED"' ||
    e2e_fail "an unresolvable endpoint gave $E2E_STATE_TRAIL ($E2E_LAST_STATUS)"
expect_blocked "endpoint unresolved"
journalctl -u WireGuardTunnel-VelnaroTunnel.service --no-pager | grep -q "blocked until the tunnel is up (its endpoint does not resolve)" ||
    e2e_fail "the journal does not say why the range is blocked"

systemctl restart VelnaroVpnService.service || e2e_fail "cannot restart the service"
e2e_wait_until 15 e2e_service_answers || e2e_fail "the service does not answer after its restart"
expect_blocked "service restarted"
e2e_apply "$(e2e_config)"
expect_connected "connected after the service's restart"
stop_pinging
expect_nothing_leaked "through crashes, a failed start and a restart"

e2e_expect STOP ACCEPTED
e2e_wait_until 10 e2e_no_tunnel_processes || e2e_fail "the tunnel outlived STOP"
after=$(routing_state)
[ "$after" = "$before" ] || e2e_fail "STOP left the routing changed: $(diff <(echo "$before") <(echo "$after"))"

# Removal of a tunnel that had died lets go too.
e2e_apply "$(e2e_config)"
e2e_wait_state 20 CONNECTED
kill -KILL "$(e2e_tunnel_service_pids)"
expect_blocked "before removal"
e2e_uninstall
e2e_wait_until 20 e2e_no_service_process || e2e_fail "the service outlived its removal"
after=$(routing_state)
[ "$after" = "$before" ] || e2e_fail "removal left the routing changed: $(diff <(echo "$before") <(echo "$after"))"
expect_nothing_leaked "at the end"
[ "$reference" -gt 0 ] || e2e_fail "the counter saw nothing of the pings before the tunnel"
e2e_pass
