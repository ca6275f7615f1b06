#!/usr/bin/env bash
# The Debian package as an administrator uses it, built in this run: lintian, then in a world
# whose root is an overlay (apt and dpkg write only there) an install refused while a login
# account's own group is called velnaro, an offline install from the file once it is gone,
# vpnctl as a member of the group velnaro, an upgrade to a newer build with a tunnel up, a
# removal, a reinstallation and a purge.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
E2E_PREPARE=e2e_prepare_overlay_world

if [ -z "${E2E_IN_WORLD:-}" ]; then
    e2e_check_prerequisites
    for tool in dpkg-buildpackage dh lintian apt-get; do
        command -v "$tool" >/dev/null 2>&1 || e2e_skip "needs $tool"
    done
    older=$("$E2E_SOURCE_ROOT/scripts/package" deb | tail -n 1) || e2e_fail "scripts/package deb failed"
    newer=$("$E2E_SOURCE_ROOT/scripts/package" deb --version "$(dpkg-deb -f "$older" Version)+1" | tail -n 1) ||
        e2e_fail "scripts/package deb of a newer version failed"
    lintian --fail-on error,warning "$older" 2>/dev/null || e2e_fail "lintian: $(lintian "$older" 2>&1)"
    e2e_locate_build "$@"
    e2e_enter_world "$0" "$VELNARO_BUILD_DIR" "$older" "$newer"
fi
e2e_inside_world
older=$2
newer=$3
VPN_SERVICE=/usr/lib/velnaro-vpn/vpn-service
VPNCTL=/usr/bin/vpnctl
unit=VelnaroVpnService.service
tunnel_unit=WireGuardTunnel-VelnaroTunnel.service

# Offline: the world's network has no way out, and everything the package needs is there.
apt_get() { # args...
    DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0 "$@" >"$E2E_WORK/apt.log" 2>&1 ||
        e2e_fail "apt-get $*: $(cat "$E2E_WORK/apt.log")"
}
unit_is() { [ "$(systemctl "$1" "$unit")" = "$2" ]; }
service_pid() { systemctl show -P MainPID "$unit"; }
identity() { e2e_expect GET_PUBLIC_IDENTITY PUBLIC_IDENTITY >&2 && jq -r .payload.publicKey <<<"$E2E_RESPONSE"; }
nothing_runs() { e2e_no_service_process && e2e_no_tunnel_processes && e2e_interface_absent; }

# A container image may forbid starting services during installation (policy-rc.d exits
# 101); the world stands for a booted machine, which has no such rule.
rm -f /usr/sbin/policy-rc.d

# A login account named velnaro, with its own group of that name: the group is not adopted
# (its members would become operators), the installation stops and says why and what to do.
useradd --uid 1400 --user-group velnaro || e2e_fail "cannot add the account velnaro"
DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0 install "$older" >"$E2E_WORK/apt.log" 2>&1 &&
    e2e_fail "the installation adopted the login account's group velnaro"
grep -q "velnaro-vpn: a group velnaro already exists, with gid [0-9]*: it is not a system group" "$E2E_WORK/apt.log" ||
    e2e_fail "the refused installation does not say why: $(cat "$E2E_WORK/apt.log")"
e2e_no_service_process || e2e_fail "the refused installation started the service"
userdel velnaro || e2e_fail "cannot remove the account velnaro"
dpkg --configure velnaro-vpn >"$E2E_WORK/dpkg.log" 2>&1 ||
    e2e_fail "dpkg --configure after the group went: $(cat "$E2E_WORK/dpkg.log")"
e2e_wait_until 15 unit_is is-active active || e2e_fail "after installing, $unit is $(systemctl is-active "$unit")"
unit_is is-enabled enabled || e2e_fail "after installing, $unit is $(systemctl is-enabled "$unit")"
gid=$(getent group velnaro | cut -d: -f3)
[ -n "$gid" ] && [ "$gid" -ge 100 ] && [ "$gid" -le 999 ] || e2e_fail "installing made no system group velnaro (gid '$gid')"
# The package's unit is the registration: reported, kept, never written a second time.
e2e_service_state_is RUNNING || e2e_fail "--service-status says $(e2e_service_state) for the packaged service"
e2e_install ALREADY_INSTALLED
[ ! -e /etc/systemd/system/$unit ] || e2e_fail "--install-service wrote a second unit"
diff <(systemctl cat "$unit" | tail -n +2) "/usr/lib/systemd/system/$unit" >/dev/null ||
    e2e_fail "systemd runs another unit than the package's: $(systemctl cat "$unit" | head -1)"

useradd --uid 1500 --groups velnaro velnaro-admin || e2e_fail "cannot add a member of velnaro"
member() { runuser -u velnaro-admin -- "$VPNCTL" "$@"; }
e2e_start_gateway
e2e_ensure_identity
e2e_gateway_allow "$DEVICE_PUBLIC_KEY"
member status >/dev/null || e2e_fail "vpnctl status as a member of velnaro failed"
e2e_config | member apply - >/dev/null || e2e_fail "vpnctl apply as a member of velnaro failed"
e2e_wait_state 20 CONNECTED

before=$(service_pid)
apt_get install "$newer"
[ "$(dpkg-query -W -f '${Version}' velnaro-vpn)" = "$(dpkg-deb -f "$newer" Version)" ] || e2e_fail "the upgrade did not happen"
e2e_wait_until 15 unit_is is-active active || e2e_fail "after the upgrade, $unit is $(systemctl is-active "$unit")"
[ "$(service_pid)" != "$before" ] || e2e_fail "the upgrade did not restart the service"
e2e_wait_until 15 e2e_service_answers || e2e_fail "the service does not answer after the upgrade"
[ "$(identity)" = "$DEVICE_PUBLIC_KEY" ] || e2e_fail "the upgrade changed the identity"
e2e_wait_state 20 CONNECTED
e2e_ping_gateway || e2e_fail "no echo reply through the tunnel after the upgrade"

apt_get remove velnaro-vpn
e2e_wait_until 20 nothing_runs || e2e_fail "left after removal: $(e2e_service_pids) $(e2e_tunnel_service_pids) $(e2e_tunnel_daemon_pids)"
[ ! -e /etc/systemd/system/$tunnel_unit ] || e2e_fail "the removal left the tunnel unit"
[ -f /var/lib/Velnaro/vpn/identity.dat ] && [ -n "$(ls -A /var/lib/velnaro-keys)" ] ||
    e2e_fail "the removal took the identity or the sealing key"

apt_get install "$newer"
e2e_wait_until 15 e2e_service_answers || e2e_fail "a reinstallation does not answer ($(systemctl is-active "$unit"))"
[ "$(identity)" = "$DEVICE_PUBLIC_KEY" ] || e2e_fail "a reinstallation shows another identity"

apt_get purge velnaro-vpn
e2e_wait_until 20 nothing_runs || e2e_fail "processes left after the purge"
[ ! -e /var/lib/Velnaro ] && [ ! -e /var/lib/velnaro-keys ] || e2e_fail "the purge kept the data or the key"
leftover=$(ls /etc/systemd/system /usr/lib/systemd/system | grep -E 'VelnaroVpnService|WireGuardTunnel')
[ -z "$leftover" ] || e2e_fail "unit files left after the purge: $leftover"
e2e_pass
