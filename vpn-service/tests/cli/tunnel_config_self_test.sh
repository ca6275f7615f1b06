#!/usr/bin/env bash
# The tunnel configuration self-test of a copied executable, with and without the components
# beside it: exact standard output, nothing on standard error, and no scratch directory left
# in the temporary directory on either path.
set -u
exe=$1
. "$(dirname "$0")/lib/expect.sh"
. "$(dirname "$0")/lib/stage.sh"
scratch_copy "$exe"
mkdir "$work/tmp" "$work/keys"
export TMPDIR="$work/tmp" XDG_DATA_HOME="$work/keys"

check() { # name want_stdout want_status
    expect "$1" "$2" '' "$3" "$copy" --tunnel-config-self-test
    if [ -n "$(ls -A "$work/tmp")" ]; then
        echo "FAIL $1: left behind: $(ls -A "$work/tmp")"
        cli_failures=$((cli_failures + 1))
    fi
}

check no_vpn_folder \
    '{"success":false,"encryptedOnly":false,"detailCode":"COMPONENT_DIRECTORY_UNAVAILABLE"}'$'\n' 1

components=${VELNARO_BUILD_DIR:-}/vpn
if [ -n "${VELNARO_BUILD_DIR:-}" ] && [ -f "$components/wireguard.so" ] && [ -f "$components/tunnel.so" ]; then
    mkdir "$work/vpn"
    cp "$components/wireguard.so" "$components/tunnel.so" "$work/vpn/"
    check with_components '{"success":true,"encryptedOnly":true,"detailCode":null}'$'\n' 0
else
    echo "skip with_components: the Linux components are not built in \$VELNARO_BUILD_DIR/vpn"
fi
[ "$cli_failures" -eq 0 ]
