#!/usr/bin/env bash
# The MSI as an administrator deploys it, under Wine, in a prefix of its own: built by
# scripts/package from this build with the test doubles as WireGuard libraries, installed
# with msiexec /i /qn (files in place, the service registered and running, vpnctl answers),
# removed with msiexec /x /qn (no service, no files, the data folder kept).
# Where Wine lacks what a step needs, the step says so.
set -u
exe=$(realpath "$1")
build=$(dirname "$exe")
root=$(cd "$(dirname "$0")/../../../.." && pwd)
. "$(dirname "$0")/../../cli/lib/expect.sh"
command -v wixl >/dev/null && command -v msibuild >/dev/null || { echo "SKIP msi: needs wixl and msibuild"; exit 0; }

export WINEDEBUG=-all
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/velnaro-wine-msi.XXXXXX")
export WINEPREFIX
cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1
    timeout 30 wineserver -w >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
w() { timeout 120 wine "$@"; }
fail() { echo "FAIL $1: ${*:2}"; cli_failures=$((cli_failures + 1)); }

msi=$("$root/scripts/package" msi --components "$build/doubles/standard" | tail -1) || { echo "FAIL build: scripts/package msi"; exit 1; }
if ! timeout 300 wineboot -i >/dev/null 2>&1 || ! timeout 300 wineserver -w; then
    echo "FAIL: a fresh Wine prefix could not be created"
    exit 1
fi
wineserver -p  # keeps the manager, and so the service, up between the commands
drive_c=$(winepath -u 'C:\' 2>/dev/null)
folder="${drive_c}Program Files/Velnaro VPN"
installed=("$folder/vpn-service.exe" "$folder/vpnctl.exe" "$folder/vpn/wireguard.dll" "$folder/vpn/tunnel.dll")
cp "$msi" "${drive_c}velnaro.msi"
state() { w "$folder/vpn-service.exe" --service-status 2>/dev/null | jq -r .state; }
registered() { w sc query VelnaroVpnService >/dev/null 2>&1; }
wait_state() { # state seconds
    local deadline=$((SECONDS + $2))
    until [ "$(state)" = "$1" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.25
    done
}

w msiexec /i 'C:\velnaro.msi' /qn
status=$?
if [ "$status" -ne 0 ]; then
    # Wine's manager cannot set the service SID type (ChangeServiceConfig2W level 5), so the
    # registration fails: what the installer then does is checked, the rest runs on a build
    # of the same installer that does not check the registration's result.
    [ ! -e "$folder" ] || fail rollback_files "a failed registration left $(ls -R "$folder")"
    if registered; then
        # Windows runs the rollback script backwards, so the action that takes the partial
        # registration away runs while the executable is still there.
        echo "SKIP rollback_registration: Wine runs the rollback script in its written order, so" \
            "the files are gone before the rollback action that would remove the partial registration"
        w sc delete VelnaroVpnService >/dev/null
    fi
    echo "SKIP install_registers: Wine cannot set the service SID type, so --install-service fails" \
        "(msiexec exit $status) and the installation rolls back; continuing with RegistrationReturn=ignore"
    VELNARO_MSI_REGISTRATION_RETURN=ignore "$root/scripts/package" msi --components "$build/doubles/standard" \
        --output "${drive_c}velnaro.msi" >/dev/null
    w msiexec /i 'C:\velnaro.msi' /qn || { echo "FAIL install: msiexec /i exited $?"; exit 1; }
    [ "$(state)" = STOPPED ] || fail registered "the service is $(state) after the installation"
    w sc start VelnaroVpnService >/dev/null
fi
for file in "${installed[@]}"; do
    [ -f "$file" ] || fail installed_files "missing ${file#"$drive_c"}"
done
wait_state RUNNING 30 || fail running "the service is $(state), not RUNNING"
w "$folder/vpnctl.exe" version >/dev/null 2>&1
vpnctl_status=$?
if [ "$vpnctl_status" -eq 3 ]; then
    echo "SKIP vpnctl_version: this Wine does not place the service in session 0; vpnctl refused the server"
elif [ "$vpnctl_status" -ne 0 ]; then
    fail vpnctl_version "vpnctl version exited $vpnctl_status"
fi

# The data folder the service makes on first use, with something in it, must outlive removal.
data="${drive_c}ProgramData/Velnaro/vpn"
mkdir -p "$data" && touch "$data/kept"
w msiexec /x 'C:\velnaro.msi' /qn || fail uninstall "msiexec /x exited $?"
deadline=$((SECONDS + 30))
while registered && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.25; done
! registered || fail uninstall_service "the service is still registered"
[ ! -e "$folder" ] || fail uninstall_files "left behind: $(ls -R "$folder")"
[ -f "$data/kept" ] || fail data_kept "the data folder went with the product"
[ "$cli_failures" -eq 0 ] && echo "PASS msi_package"
[ "$cli_failures" -eq 0 ]
