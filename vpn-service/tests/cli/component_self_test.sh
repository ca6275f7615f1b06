#!/usr/bin/env bash
# The component self-test and the tunnel-service mode of a copied executable, with and
# without a "vpn" folder beside it: exact standard output, nothing on standard error.
set -u
exe=$1
. "$(dirname "$0")/lib/expect.sh"
. "$(dirname "$0")/lib/stage.sh"
scratch_copy "$exe"

check() { # name want_stdout want_status args...
    expect "$1" "$2" '' "$3" "$copy" "${@:4}"
}

failed() { # detail code
    printf '{"success":false,"componentArchitecture":"x86_64","keyGenerationAvailable":false,"detailCode":"%s"}\n' "$1"
}

mkdir -p "$work/data"
config="$work/data/VelnaroTunnel.conf.dpapi"
printf 'sealed' >"$config"
printf 'sealed' >"$work/data/velnarotunnel.conf.dpapi"

check no_vpn_folder "$(failed COMPONENT_DIRECTORY_UNAVAILABLE)"$'\n' 1 --component-self-test
# A tunnel service that gives up exits with its reason's stable number and says why.
gave_up() { # code number
    expect "$1" '' "WireGuardTunnel\$VelnaroTunnel gave up: $1 (exit status $2)"$'\n' "$2" \
        "$copy" "${@:3}"
}
check tunnel_without_path '' 2 --tunnel-service
gave_up TUNNEL_CONFIG_PATH_INVALID 75 --tunnel-service VelnaroTunnel.conf.dpapi
gave_up TUNNEL_CONFIG_PATH_INVALID 75 --tunnel-service "$work/data/velnarotunnel.conf.dpapi"
gave_up TUNNEL_CONFIG_PATH_INVALID 75 --tunnel-service $'/tmp/\xff/VelnaroTunnel.conf.dpapi'
gave_up COMPONENT_DIRECTORY_UNAVAILABLE 12 --tunnel-service "$config" extra arguments
# The service gives up the same way, for example on a relative PROGRAMDATA.
expect service_relative_programdata '' \
    "VelnaroVpnService gave up: PROGRAMDATA_UNAVAILABLE (exit status 57): PROGRAMDATA must be unset or an absolute path"$'\n' \
    57 env PROGRAMDATA=relative "$copy" --service

mkdir "$work/vpn"
check empty_vpn_folder "$(failed WIREGUARD_DLL_MISSING)"$'\n' 1 --component-self-test

# With the real components of this build, when they have been built.
components=${VELNARO_BUILD_DIR:-}/vpn
if [ -n "${VELNARO_BUILD_DIR:-}" ] && [ -f "$components/wireguard.so" ] && [ -f "$components/tunnel.so" ]; then
    cp "$components/wireguard.so" "$components/tunnel.so" "$work/vpn/"
    check with_components \
        '{"success":true,"componentArchitecture":"x86_64","keyGenerationAvailable":true,"detailCode":null}'$'\n' \
        0 --component-self-test
else
    echo "skip with_components: the Linux components are not built in \$VELNARO_BUILD_DIR/vpn"
fi
[ "$cli_failures" -eq 0 ]
