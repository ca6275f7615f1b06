#!/usr/bin/env bash
# vpnctl, the command-line client: help, version and usage errors, apply's input checks,
# no service, and a server on the service's socket answering as root (accepted) or as another
# account (refused before any byte is sent). The servers run as root inside private mount and
# network namespaces with a tmpfs on /run: the machine's socket and interfaces are not seen.
set -u
build=${VELNARO_BUILD_DIR:?the build directory}
vpnctl=$build/vpnctl
[ -x "$vpnctl" ] || vpnctl=$build/tools/vpnctl/vpnctl
vpnctl=$(realpath "$vpnctl")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/expect.sh"
socket=/run/velnaro/VelnaroVpnService.v1.sock
examples=$(cd "$here/../../.." && pwd)/examples

if [ "${1:-}" != "--inside" ]; then
    for words in --help -h help; do
        expect_match "overview_$words" '^usage: vpnctl COMMAND.*  apply .*  3  the server on the socket is not.*  5  --wait: the tunnel failed[^'$'\n'']*'$'\n''$' '' 0 "$vpnctl" $words
    done
    expect_match help_apply '^usage: vpnctl apply FILE\|-.*persistentKeepalive' '' 0 "$vpnctl" help apply
    expect_match apply_dash_help '^usage: vpnctl apply FILE\|-.*persistentKeepalive' '' 0 "$vpnctl" apply --help
    expect version 'vpnctl 0.1.0'$'\n' '' 0 "$vpnctl" --version
    expect no_words '' "vpnctl: no command given"$'\n'"Try 'vpnctl --help'."$'\n' 2 "$vpnctl"
    expect unknown_word '' "vpnctl: no command 'bogus'"$'\n'"Try 'vpnctl --help'."$'\n' 2 "$vpnctl" bogus
    expect extra_word '' "vpnctl: unexpected 'now'"$'\n'"Try 'vpnctl help status'."$'\n' 2 "$vpnctl" status now
    expect apply_missing_file '' 'vpnctl: cannot read /nonexistent/config.json: No such file or directory; nothing was sent'$'\n' \
        2 "$vpnctl" apply /nonexistent/config.json
    if [ "$(id -u)" -ne 0 ] || [ ! -x /usr/bin/python3 ]; then
        echo "SKIP: the server checks need root and /usr/bin/python3"
        [ "$cli_failures" -eq 0 ]
        exit
    fi
    unshare --mount --net --propagation private bash "$0" --inside || cli_failures=$((cli_failures + 1))
    [ "$cli_failures" -eq 0 ]
    exit
fi

mount -t tmpfs -o mode=0755 vpnctl-run /run || exit 1
work=$(mktemp -d)
chmod 0755 "$work"
server_pid=
trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; rm -rf "$work"' EXIT

# A stand-in server: answers every request frame with $1 and notes each request in a file.
cat >"$work/server.py" <<'PY'
import os, socket, struct, sys
path, reply, seen = sys.argv[1], sys.argv[2].encode(), sys.argv[3]
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind(path)
os.chmod(path, 0o666)
server.listen(4)
open(seen + ".ready", "w").close()
while True:
    client, _ = server.accept()
    if reply == b"-":  # turned away without an answer, as the service does a system account
        client.close()
        continue
    data = b""
    while True:
        chunk = client.recv(65540)
        if not chunk:
            break
        data += chunk
        if len(data) >= 4 and len(data) >= 4 + struct.unpack("<I", data[:4])[0]:
            with open(seen, "ab") as f:
                f.write(data[4:] + b"\n")
            client.sendall(struct.pack("<I", len(reply)) + reply)
            break
    client.close()
PY

start_server() { # account reply
    local account=$1 reply=$2
    mkdir -p /run/velnaro
    chown "$account:$account" /run/velnaro
    rm -f "$socket" "$work/seen" "$work/seen.ready"
    touch "$work/seen"
    chown "$account:$account" "$work/seen"
    chmod 0777 "$work"
    setpriv --reuid="$account" --regid="$account" --clear-groups \
        /usr/bin/python3 "$work/server.py" "$socket" "$reply" "$work/seen" &
    server_pid=$!
    for _ in $(seq 100); do
        [ -e "$work/seen.ready" ] && return 0
        sleep 0.05
    done
    echo "FAIL: the stand-in server did not start as $account"
    exit 1
}

stop_server() {
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
}

not_running="vpnctl: the service is not running (nothing serves $socket); the tunnel VelnaroTunnel is down"$'\n'
expect no_service '' "$not_running" 4 "$vpnctl" status
expect no_service_json '' "$not_running" 4 "$vpnctl" identity --json

version='{"type":"VERSION","payload":{"service_version":"0.1.0"}}'
error='{"type":"ERROR","payload":{"code":"IPC_REQUEST_INVALID"}}'

start_server 65534 "$version"
cp "$examples/tunnel.json" "$work/config.json"
refusal="vpnctl: refusing the server on $socket: it does not run as root; nothing was sent"$'\n'
expect impostor_version '' "$refusal" 3 "$vpnctl" version
expect impostor_apply '' "$refusal" 3 "$vpnctl" apply "$work/config.json"
if [ -s "$work/seen" ]; then
    echo "FAIL impostor_received: $(cat "$work/seen")"
    cli_failures=$((cli_failures + 1))
fi
stop_server

start_server 0 "$version"
expect root_version 'service version 0.1.0'$'\n' '' 0 "$vpnctl" version
expect root_version_json "$version"$'\n' '' 0 "$vpnctl" version --json
expect_match root_request_sent '^(\{"command":"GET_VERSION"\}'$'\n''){2}$' '' 0 cat "$work/seen"

# Faulty configurations are named and never sent.
: >"$work/seen"
ok=$work/config.json
printf '{"configVersion": 1,\n  "address": }' >"$work/broken.json"
jq '.mtu = 1420' "$ok" >"$work/unknown.json"
jq 'del(.address)' "$ok" >"$work/missing.json"
jq '.endpointPort = "51820"' "$ok" >"$work/wrong.json"
members='configVersion, address, gatewayPublicKey, endpointHost, endpointPort, allowedIps, persistentKeepalive'
expect apply_broken '' "vpnctl: $work/broken.json: not valid JSON at line 2, column 14: syntax error while parsing value - unexpected '}'; expected '[', '{', or a literal; nothing was sent"$'\n' \
    2 "$vpnctl" apply "$work/broken.json"
expect apply_unknown '' "vpnctl: $work/unknown.json: unknown member \"mtu\" (the members are $members); nothing was sent"$'\n' \
    2 "$vpnctl" apply "$work/unknown.json"
expect apply_missing '' "vpnctl: $work/missing.json: the member \"address\" is missing; nothing was sent"$'\n' \
    2 "$vpnctl" apply "$work/missing.json"
expect apply_wrong_type '' "vpnctl: $work/wrong.json: the member \"endpointPort\" must be a whole number from 0 to 65535; nothing was sent"$'\n' \
    2 "$vpnctl" apply "$work/wrong.json"
expect apply_stdin_broken '' 'vpnctl: standard input: not valid JSON at line 1, column 2: syntax error while parsing object key - unexpected end of input; expected string literal; nothing was sent'$'\n' \
    2 "$vpnctl" apply - < <(printf '{')
if [ -s "$work/seen" ]; then
    echo "FAIL faulty_configuration_sent: $(cat "$work/seen")"
    cli_failures=$((cli_failures + 1))
fi
stop_server

start_server 0 '{"type":"ACCEPTED"}'
expect apply_stdin 'configuration applied; the tunnel is starting with it'$'\n' '' 0 "$vpnctl" apply - <"$ok"
expect_match apply_sent '^\{"command":"APPLY_CONFIG","payload":\{"configVersion":1,.*"persistentKeepalive":25\}\}'$'\n''$' '' 0 cat "$work/seen"
stop_server

start_server 0 "$error"
expect root_error "$error"$'\n' '' 1 "$vpnctl" raw '{"command":"NOPE"}'
stop_server

start_server 0 '{"type":"STATUS","payload":{"state":"CONNECTING","serviceName":"VelnaroVpnService","tunnelName":"VelnaroTunnel","serviceVersion":"0.1.0","detailCode":"WIREGUARD_HANDSHAKE_PENDING","lastHandshakeUnixSeconds":null,"rxBytes":0,"txBytes":2048}}'
expect status_human 'state:      CONNECTING
reason:     WIREGUARD_HANDSHAKE_PENDING (no handshake with the gateway yet)
handshake:  never
received:   0 B
sent:       2.0 KiB'$'\n' '' 0 "$vpnctl" status
started=$SECONDS
expect wait_times_out '' 'vpnctl: CONNECTED not reached within 2 s; last: CONNECTING, WIREGUARD_HANDSHAKE_PENDING (no handshake with the gateway yet)'$'\n' \
    1 "$vpnctl" status --wait CONNECTED --timeout 2
if [ $((SECONDS - started)) -gt 4 ]; then
    echo "FAIL wait_took: $((SECONDS - started)) s for a 2 s time-out"
    cli_failures=$((cli_failures + 1))
fi
expect_match wait_reached '^CONNECTING, WIREGUARD_HANDSHAKE_PENDING' '' 0 "$vpnctl" status --wait CONNECTING
expect_match wait_json '^\{"type":"STATUS","payload":\{"state":"CONNECTING",.*\}\}'$'\n''$' '' 0 "$vpnctl" --json status --wait connecting
stop_server

start_server 0 -
expect system_account_refused '' 'vpnctl: the service refused this account: it serves root and login accounts, not system accounts'$'\n' \
    1 setpriv --reuid=65534 --regid=65534 --clear-groups "$vpnctl" version
stop_server

[ "$cli_failures" -eq 0 ]
