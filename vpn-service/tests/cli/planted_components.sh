#!/usr/bin/env bash
# An executable or components that another account could replace are neither installed as
# the service nor loaded: a copy of the build is made unsafe one way at a time. As root inside
# the end-to-end world (systemd as PID 1 of private namespaces, see tests/e2e/lib.sh), so the
# installation talks to a real service manager and nothing is registered on the machine.
set -u
source "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/../e2e/lib.sh"
e2e_scenario_world "${1:-}" "to give files to other accounts and install" "$0"
. "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/lib/expect.sh"
work=$(mktemp -d)  # inside the world's private /run, gone with it
folder="$work/opt"
mkdir -m 0755 "$folder" "$folder/vpn"
cp "$VPN_SERVICE" "$folder/vpn-service"
cp "$E2E_INSTALL_DIR/vpn/wireguard.so" "$E2E_INSTALL_DIR/vpn/tunnel.so" "$folder/vpn/"
chmod 0644 "$folder"/vpn/*.so

unsafe_install='{"success":false,"serviceName":"VelnaroVpnService","state":"INSTALL_FAILED","detailCode":"SERVICE_LOCATION_UNSAFE"}'
unsafe_load='{"success":false,"componentArchitecture":"x86_64","keyGenerationAvailable":false,"detailCode":"COMPONENT_DIRECTORY_UNAVAILABLE"}'
safe_load='{"success":true,"componentArchitecture":"x86_64","keyGenerationAvailable":true,"detailCode":null}'

refused() { # name: both the installation and the loading are refused
    expect "$1_install" "$unsafe_install"$'\n' '' 1 "$folder/vpn-service" --install-service
    expect "$1_load" "$unsafe_load"$'\n' '' 1 "$folder/vpn-service" --component-self-test
}

expect safe_load "$safe_load"$'\n' '' 0 "$folder/vpn-service" --component-self-test

chmod 0777 "$folder"
refused folder_others_may_write
chmod 0775 "$folder"
refused folder_the_group_may_write
chmod 0755 "$folder"

chown 65534 "$folder"
refused folder_of_another_account
chown 0 "$folder"

chmod 0666 "$folder/vpn/wireguard.so"
refused library_others_may_write
chmod 0644 "$folder/vpn/wireguard.so"

chown 65534 "$folder/vpn/tunnel.so"
refused library_of_another_account
chown 0 "$folder/vpn/tunnel.so"

# Something else planted in the component folder, which the libraries' imports might find.
touch "$folder/vpn/libsodium.so.23" && chmod 0666 "$folder/vpn/libsodium.so.23"
refused planted_beside_the_libraries
rm "$folder/vpn/libsodium.so.23"

chmod 0777 "$folder/vpn"
refused component_folder_others_may_write
chmod 0755 "$folder/vpn"

mv "$folder/vpn-service" "$folder/vpn-service.real"
ln -s "$folder/vpn-service.real" "$folder/vpn-service"
expect link_resolved_to_the_real_file "$safe_load"$'\n' '' 0 "$folder/vpn-service" --component-self-test
rm "$folder/vpn-service" && mv "$folder/vpn-service.real" "$folder/vpn-service"

expect safe_again "$safe_load"$'\n' '' 0 "$folder/vpn-service" --component-self-test
[ "$cli_failures" -eq 0 ]
