#!/usr/bin/env bash
# vpnctl, the command-line client: usage errors, no service, and a server on the service's
# socket answering as root (accepted) or as another account (refused before any byte is
# sent). The servers run as root inside a private mount namespace with a tmpfs on /run, so
# the machine's own socket is never touched.
set -u
build=${VELNARO_BUILD_DIR:?the build directory}
vpnctl=$build/vpnctl
[ -x "$vpnctl" ] || vpnctl=$build/tools/vpnctl/vpnctl
vpnctl=$(realpath "$vpnctl")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/expect.sh"
socket=/run/velnaro/VelnaroVpnService.v1.sock
usage='usage: vpnctl version|status|identity|apply FILE.json|start|stop|repair|rotate prepare|commit|abort|raw JSON'$'\n'

if [ "${1:-}" != "--inside" ]; then
    expect no_words '' "$usage" 2 "$vpnctl"
    expect unknown_word '' "$usage" 2 "$vpnctl" help
    expect extra_word '' "$usage" 2 "$vpnctl" status now
    expect rotate_without_step '' "$usage" 2 "$vpnctl" rotate
    expect apply_missing_file '' "$usage" 2 "$vpnctl" apply /nonexistent/config.json
    if [ "$(id -u)" -ne 0 ] || [ ! -x /usr/bin/python3 ]; then
        echo "SKIP: the server checks need root and /usr/bin/python3"
        [ "$cli_failures" -eq 0 ]
        exit
    fi
    unshare --mount --propagation private bash "$0" --inside || cli_failures=$((cli_failures + 1))
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

expect no_service '' "vpnctl: no answer from the service on $socket (IPC_SELF_TEST_PIPE_UNAVAILABLE)"$'\n' \
    1 "$vpnctl" status

version='{"type":"VERSION","payload":{"service_version":"0.1.0"}}'
error='{"type":"ERROR","payload":{"detailCode":"IPC_REQUEST_INVALID"}}'

start_server 65534 "$version"
printf '{"privateKey":"must not leak"}' >"$work/config.json"
refusal="vpnctl: refusing the server on $socket: it does not run as root; nothing was sent"$'\n'
expect impostor_version '' "$refusal" 3 "$vpnctl" version
expect impostor_apply '' "$refusal" 3 "$vpnctl" apply "$work/config.json"
if [ -s "$work/seen" ]; then
    echo "FAIL impostor_received: $(cat "$work/seen")"
    cli_failures=$((cli_failures + 1))
fi
stop_server

start_server 0 "$version"
expect root_version "$version"$'\n' '' 0 "$vpnctl" version
expect_match root_request_sent '^\{"command":"GET_VERSION"\}'$'\n''$' '' 0 cat "$work/seen"
stop_server

start_server 0 "$error"
expect root_error "$error"$'\n' '' 1 "$vpnctl" raw '{"command":"NOPE"}'
stop_server

[ "$cli_failures" -eq 0 ]
