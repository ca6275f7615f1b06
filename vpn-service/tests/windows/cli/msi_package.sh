#!/usr/bin/env bash
# The MSI under Wine, in a prefix of its own, built by scripts/package from this build with the
# test doubles as WireGuard libraries: msiexec /i /qn (files, service running, vpnctl), an
# upgrade to a newer version, msiexec /x /qn (no service, no files, the data kept).
# Where Wine lacks what a step needs, the step says so.
set -u
build=$(dirname "$(realpath "$1")")
root=$(cd "$(dirname "$0")/../../../.." && pwd)
. "$(dirname "$0")/../../cli/lib/expect.sh"
command -v wixl >/dev/null && command -v msibuild >/dev/null || { echo "SKIP msi: needs wixl and msibuild"; exit 0; }
export WINEDEBUG=-all
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/velnaro-wine-msi.XXXXXX")
export WINEPREFIX
trap 'timeout 30 wineserver -k; timeout 30 wineserver -w; rm -rf "$WINEPREFIX"' EXIT
w() { timeout 120 wine "$@"; }
fail() { echo "FAIL $1: ${*:2}"; cli_failures=$((cli_failures + 1)); }
timeout 300 wineboot -i >/dev/null 2>&1 && timeout 300 wineserver -w || { echo "FAIL: no Wine prefix"; exit 1; }
wineserver -p  # keeps the manager, and so the service, up between the commands
drive_c=$(winepath -u 'C:\' 2>/dev/null)
folder="${drive_c}Program Files/Velnaro VPN"
package() { # version output [registration-return]
    VELNARO_MSI_REGISTRATION_RETURN=${3:-check} "$root/scripts/package" msi --version "$1" \
        --components "$build/doubles/standard" --output "$drive_c$2" >/dev/null || { echo "FAIL: scripts/package msi"; exit 1; }
}
state() { w "$folder/vpn-service.exe" --service-status 2>/dev/null | jq -r .state; }
registered() { w sc query VelnaroVpnService >/dev/null 2>&1; }
runs() { # the service started by the manager where Wine left it stopped
    [ "$(state)" = RUNNING ] || w sc start VelnaroVpnService >/dev/null
    local deadline=$((SECONDS + 30))
    until [ "$(state)" = RUNNING ]; do [ "$SECONDS" -lt "$deadline" ] || return 1; sleep 0.25; done
}

# Wine owns every file by the running user, whom the service's trust leaves out (a Windows
# gives an elevated administrator's files to the Administrators group), so --install-service
# refuses them before it registers anything; the manager then registers the service by hand.
by_hand_where_refused() {
    registered && return 0
    echo "SKIP install_registers_service: Wine owns the installed files by the running user, so" \
        "--install-service refuses them; the manager registers the service by hand"
    w sc create VelnaroVpnService \
        binPath= "\"C:\\Program Files\\Velnaro VPN\\vpn-service.exe\" --service" >/dev/null
}

package 0.1.0 old.msi
w msiexec /i 'C:\old.msi' /qn
status=$?
if [ "$status" -ne 0 ]; then
    [ ! -e "$folder" ] || fail rollback_files "a failed registration left $(ls -R "$folder")"
    if registered; then
        echo "SKIP rollback_registration: Wine runs the rollback script forwards, so the files are" \
            "gone before the rollback action that would remove the partial registration"
        w sc delete VelnaroVpnService >/dev/null
    fi
    echo "SKIP install_registers: --install-service fails under Wine (msiexec exit $status: the" \
        "service SID type, or the owner below) and the installation rolls back; going on with" \
        "RegistrationReturn=ignore"
    unchecked=ignore
    package 0.1.0 old.msi ignore
    w msiexec /i 'C:\old.msi' /qn || { echo "FAIL install: msiexec /i exited $?"; exit 1; }
    by_hand_where_refused
fi
for file in vpn-service.exe vpnctl.exe vpn/wireguard.dll vpn/tunnel.dll; do
    [ -f "$folder/$file" ] || fail installed_files "missing $file"
done
runs || fail running "the service is $(state), not RUNNING"
w "$folder/vpnctl.exe" version >/dev/null 2>&1
case $? in
    0) ;;
    3) echo "SKIP vpnctl_version: this Wine does not place the service in session 0; vpnctl refused it" ;;
    *) fail vpnctl_version "vpnctl version did not answer" ;;
esac
# The service's PROGRAMDATA under Wine is not always the console's: found where it made it.
data=$(find -L "$drive_c" -type d -path '*/Velnaro/vpn' 2>/dev/null | head -n 1)
[ -n "$data" ] && touch "$data/kept" || fail data_folder "the running service made no Velnaro\vpn folder"

package 0.1.1 new.msi "${unchecked:-check}"
# The old service is stopped while a client leaves its answer unread: the stop ends that
# connection, and the new registration comes only once the old one is gone.
holder=
if [ -f "$build/unread_client.exe" ]; then
    w "$build/unread_client.exe" 20 >/dev/null 2>&1 &
    holder=$!
    sleep 1
fi
w msiexec /i 'C:\new.msi' /qn || fail upgrade "msiexec /i of the newer version exited $?"
[ "${unchecked:-check}" = check ] || by_hand_where_refused
runs || fail running_after_upgrade "the service is $(state) after the upgrade"
registered || fail registered_after_upgrade "the upgrade left no service (sc query: 1060)"
[ -z "$holder" ] || wait "$holder" || fail unread_client "the client found no service to ask"
w msiexec /x 'C:\new.msi' /qn || fail uninstall "msiexec /x exited $?"
! registered || fail uninstall_service "the service is still registered"
[ ! -e "$folder" ] || fail uninstall_files "left behind: $(ls -R "$folder")"
[ -z "$data" ] || [ -f "$data/kept" ] || fail data_kept "the data folder went with the product"
[ "$cli_failures" -eq 0 ] && echo "PASS msi_package"
