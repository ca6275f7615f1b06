#!/usr/bin/env bash
# A hostile local network gives the device a subnet inside the tunnel's range and a route over
# half of it, and gets nothing for the range through crashes, a failed start and a service
# restart. STOP and removal (of a killed tunnel too) leave rules, routes and nftables as before.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
command -v nft >/dev/null 2>&1 || e2e_skip "needs nft"
e2e_begin "$0" "$@"

hostile=velhostile
overlap=10.250.5.1 # the hostile router, in the device's connected subnet
pushed=10.250.100.1 # covered by the pushed route only
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
        ip route add 10.250.0.0/17 via $overlap dev veth-lan || e2e_fail "cannot set up the hostile network"
    ip netns exec $hostile nft -f - <<NFT || e2e_fail "cannot set up the hostile network's counters"
table netdev hostile {
    counter to_range {}
    chain ingress {
        type filter hook ingress device veth-hostile priority 0;
        ip daddr $E2E_TUNNEL_NETWORK counter name to_range
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
e2e_apply "$(e2e_config)"
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
journalctl -u WireGuardTunnel-VelnaroTunnel --no-pager | grep -q "blocked until the tunnel is up (its endpoint does not resolve)" ||
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
