#!/usr/bin/env bash
# `cmake --install` into a scratch prefix: each file of the layout is where operators and
# packagers expect it, the unit runs the installed executable, and nothing in the service's
# folder is writable by other accounts.
set -u
build=${VELNARO_BUILD_DIR:?the build directory}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/expect.sh"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

if ! cmake --install "$build" --prefix "$prefix" >/dev/null; then
    echo "FAIL install: cmake --install failed"
    exit 1
fi

service=$prefix/lib/velnaro-vpn/vpn-service
for file in bin/vpnctl lib/velnaro-vpn/vpn-service lib/velnaro-vpn/vpn/tunnel.so \
    lib/velnaro-vpn/vpn/wireguard.so lib/systemd/system/VelnaroVpnService.service \
    share/man/man8/vpnctl.8 share/man/man8/vpn-service.8 \
    share/bash-completion/completions/vpnctl share/doc/velnaro-vpn/README.md \
    share/doc/velnaro-vpn/operations.md share/doc/velnaro-vpn/protocol.md \
    share/doc/velnaro-vpn/examples/tunnel.json; do
    if [ ! -s "$prefix/$file" ]; then
        echo "FAIL missing: $file"
        cli_failures=$((cli_failures + 1))
    fi
done
for program in bin/vpnctl lib/velnaro-vpn/vpn-service; do
    [ -x "$prefix/$program" ] || { echo "FAIL not executable: $program"; cli_failures=$((cli_failures + 1)); }
done

unit=$prefix/lib/systemd/system/VelnaroVpnService.service
for line in "Type=notify" "ExecStart=$service --service" "Restart=on-failure" \
    "WantedBy=multi-user.target"; do
    grep -qxF "$line" "$unit" || { echo "FAIL unit lacks: $line"; cli_failures=$((cli_failures + 1)); }
done

writable=$(find "$prefix/lib/velnaro-vpn" -perm /022 -print)
[ -z "$writable" ] || { echo "FAIL writable by others: $writable"; cli_failures=$((cli_failures + 1)); }

# The installed programs run from where they were put, the service with its components.
expect_match installed_components '"keyGenerationAvailable":true' '' 0 "$service" --component-self-test
expect installed_vpnctl 'vpnctl 0.1.0'$'\n' '' 0 "$prefix/bin/vpnctl" --version
expect_match installed_completion '^complete -F _vpnctl vpnctl' '' 0 \
    bash -c ". '$prefix/share/bash-completion/completions/vpnctl' && complete -p vpnctl"

[ "$cli_failures" -eq 0 ]
