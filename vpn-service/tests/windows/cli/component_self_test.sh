#!/usr/bin/env bash
# The Windows executable under Wine with the component doubles of this build copied into
# a "vpn" folder beside a copy of it: self-test output and the tunnel-service mode.
set -u
exe=$1
doubles=$(dirname "$exe")/doubles/standard
. "$(dirname "$0")/../../cli/lib/expect.sh"
# On the prefix's own drive C: the executable refuses components that others could replace,
# and Wine shows the sticky /tmp as a folder everyone may change.
work=$(mktemp -d -p "$(winepath -u 'C:\' 2>/dev/null)")
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/vpn-service.exe"
copy="$work/vpn-service.exe"

check() { # name want_stdout want_status args...
    expect "$1" "$2" '' "$3" wine "$copy" "${@:4}"
}

result() { # success key_generation detail
    printf '{"success":%s,"componentArchitecture":"x86_64","keyGenerationAvailable":%s,"detailCode":%s}\n' "$1" "$1" "$2"
}

if [ ! -f "$doubles/wireguard.dll" ]; then
    echo "FAIL: component doubles not built in $doubles"
    exit 1
fi

mkdir -p "$work/data"
printf 'sealed' >"$work/data/VelnaroTunnel.conf.dpapi"
config=$(winepath -w "$work/data/VelnaroTunnel.conf.dpapi" 2>/dev/null)

check no_vpn_folder "$(result false '"COMPONENT_DIRECTORY_UNAVAILABLE"')"$'\n' 1 --component-self-test
mkdir "$work/vpn"
cp "$doubles/tunnel.dll" "$work/vpn/"
check no_wireguard_dll "$(result false '"WIREGUARD_DLL_MISSING"')"$'\n' 1 --component-self-test
cp "$doubles/wireguard.dll" "$work/vpn/"
check working "$(result true null)"$'\n' 0 --component-self-test
printf 'keys=zero_public\n' >"$work/vpn/behaviour.txt"
check zero_public_key "$(result false '"KEY_GENERATION_FAILED"')"$'\n' 1 --component-self-test

rm -f "$work/vpn/behaviour.txt"
check tunnel_runs '' 0 --tunnel-service "$config" ignored
got=$(iconv -f UTF-16LE -t UTF-8 "$work/vpn/tunnel_path.bin" 2>/dev/null)
if [ "$got" != "$config" ]; then
    echo "FAIL tunnel_path: the library got [$got], not [$config]"
    cli_failures=$((cli_failures + 1))
fi
rm -f "$work/vpn/tunnel_path.bin"
# A tunnel service that gives up ends with its reason's stable number and prints nothing.
check tunnel_lower_case '' 75 --tunnel-service "${config%VelnaroTunnel.conf.dpapi}velnarotunnel.conf.dpapi"
check tunnel_relative '' 75 --tunnel-service VelnaroTunnel.conf.dpapi
if [ -e "$work/vpn/tunnel_path.bin" ]; then
    echo "FAIL: a refused path reached the library"
    cli_failures=$((cli_failures + 1))
fi
printf 'tunnel_result=0\n' >"$work/vpn/behaviour.txt"
check tunnel_fails '' 88 --tunnel-service "$config"
check tunnel_without_path '' 2 --tunnel-service
[ "$cli_failures" -eq 0 ]
