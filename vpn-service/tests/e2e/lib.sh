# shellcheck shell=bash
# Helpers shared by the end-to-end scenarios and scripts/demo.
#
# A scenario runs in a world of its own: private mount, network and pid namespaces, a tmpfs
# on /run (service socket, WireGuard sockets, network namespace names) and on /var/lib (the
# sealing key), and a data directory inside that /run. Beside the device's namespace sits a
# gateway namespace running wireguard-go, joined by a veth pair. Nothing of it is visible
# from the host, and when the world's first process ends the kernel ends every other one.

E2E_SKIP_STATUS=77
E2E_GATEWAY_NS=velgw
E2E_GATEWAY_IF=gw0
E2E_GATEWAY_UNDERLAY=192.168.77.1
E2E_DEVICE_UNDERLAY=192.168.77.2
E2E_GATEWAY_PORT=51820
E2E_GATEWAY_TUNNEL_ADDRESS=10.250.0.1
E2E_DEVICE_TUNNEL_ADDRESS=10.250.10.21
E2E_TUNNEL_NETWORK=10.250.0.0/16
E2E_TUNNEL_INTERFACE=VelnaroTunnel
E2E_SOCKET=/run/velnaro/VelnaroVpnService.v1.sock
E2E_WORK=/run/velnaro-e2e

# Set by e2e_locate_build.
VPN_SERVICE=
VPNCTL=
# Set by e2e_start_gateway.
GATEWAY_PUBLIC_KEY=
GATEWAY_PID=
# Set by e2e_ensure_identity.
DEVICE_PUBLIC_KEY=
# Set by e2e_wait_status: the last status payload and the states seen on the way.
E2E_LAST_STATUS=
E2E_STATE_TRAIL=
# Set by e2e_request: the last response body.
E2E_RESPONSE=
# Non-empty: every request and response is printed (the demo).
E2E_VERBOSE=${E2E_VERBOSE:-}

# ---------------------------------------------------------------------------------------
# Outcomes

e2e_note() { echo "-- $*"; }

e2e_skip() {
    echo "SKIP: $*"
    exit "$E2E_SKIP_STATUS"
}

e2e_fail() {
    echo "FAIL: $*" >&2
    e2e_diagnose >&2
    exit 1
}

e2e_pass() { echo "PASS: $(basename "$0" .sh)"; }

# What a reader of a failed run needs: the service's view, the processes, the interfaces.
e2e_diagnose() {
    [ -n "${E2E_IN_WORLD:-}" ] || return 0
    echo "---- diagnosis"
    [ -n "$E2E_RESPONSE" ] && echo "last response: $E2E_RESPONSE"
    [ -n "$E2E_LAST_STATUS" ] && echo "last status: $E2E_LAST_STATUS"
    [ -n "$VPN_SERVICE" ] && echo "service status: $("$VPN_SERVICE" --service-status 2>&1)"
    echo "processes:"
    local pid
    for pid in $(e2e_all_pids); do
        echo "  $pid $(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline")"
    done
    echo "device links: $(ip -brief link 2>&1 | tr '\n' ';')"
    echo "gateway: $(e2e_gateway_wg show "$E2E_GATEWAY_IF" 2>&1 | tr '\n' ';')"
    if [ -d "${PROGRAMDATA:-/nonexistent}" ]; then
        echo "data: $(cd "$PROGRAMDATA" && find . 2>/dev/null | tr '\n' ' ')"
    fi
}

# ---------------------------------------------------------------------------------------
# Build products and prerequisites

# The build directory comes as the first argument or in VELNARO_BUILD_DIR.
e2e_locate_build() { # [build-dir]
    local build=${1:-${VELNARO_BUILD_DIR:-}}
    [ -n "$build" ] || e2e_fail "no build directory (argument or VELNARO_BUILD_DIR)"
    [ -d "$build" ] || e2e_fail "build directory $build does not exist"
    build=$(cd "$build" && pwd)
    VPN_SERVICE=$build/vpn-service
    [ -x "$VPN_SERVICE" ] || e2e_fail "$VPN_SERVICE is not built"
    local component
    for component in tunnel.so wireguard.so; do
        [ -f "$build/vpn/$component" ] || e2e_fail "$build/vpn/$component is not built"
    done
    local candidate
    VPNCTL=
    for candidate in "$build/vpnctl" "$build/tools/vpnctl/vpnctl"; do
        if [ -x "$candidate" ]; then
            VPNCTL=$candidate
            break
        fi
    done
    export VELNARO_BUILD_DIR=$build
}

e2e_check_tools() {
    local tool
    for tool in wireguard-go wg unshare nsenter ip ping jq python3 timeout systemctl journalctl; do
        command -v "$tool" >/dev/null 2>&1 || e2e_skip "needs $tool"
    done
    [ -c /dev/net/tun ] || e2e_skip "needs /dev/net/tun"
    [ -x /lib/systemd/systemd ] || e2e_skip "needs systemd"
}

e2e_check_prerequisites() {
    [ "$(id -u)" -eq 0 ] || e2e_skip "needs root for the namespaces and systemd"
    e2e_check_tools
}

# ---------------------------------------------------------------------------------------
# The private world
#
# systemd runs as PID 1 of new pid, mount, network, UTS and IPC namespaces, with private
# tmpfs on /tmp, /var/tmp, /run, /var/lib and /var/log, and a folder of that /run bound over
# /etc/systemd/system, so units, journal, data and sockets exist only there. The build is
# copied to a root-owned tmpfs on /opt, from where the units run it. The scenario itself
# runs inside with nsenter; when it ends, SIGKILL to that PID 1 ends the world.
#
# systemd empties /tmp at boot through its tmpfiles units: they are masked and /tmp is
# private before it starts, and the boot is refused when either is not so.

E2E_INSTALL_DIR=/opt/velnaro
# The checkout these helpers belong to.
E2E_SOURCE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
E2E_TARGET=velnaro-e2e.target
# The host's pid of the world's systemd (outside only).
E2E_WORLD_PID=

# What systemd would otherwise do to the machine at boot (tmpfiles, sysctl, udev, users,
# kernel mounts): masked in the world's /etc/systemd/system. The journal stays.
e2e_masked_units() {
    local unit
    for unit in /lib/systemd/system/sysinit.target.wants/* /lib/systemd/system/sockets.target.wants/* \
        /lib/systemd/system/timers.target.wants/*; do
        unit=$(basename "$unit")
        case $unit in systemd-journald*) continue ;; esac
        echo "$unit"
    done
    echo systemd-tmpfiles-setup.service systemd-tmpfiles-setup-dev.service \
        systemd-tmpfiles-clean.service systemd-tmpfiles-clean.timer | tr ' ' '\n'
}

# Runs inside the new namespaces, before systemd: the private mounts, the build, the units.
e2e_prepare_world() { # build-dir
    local build=$1 unit
    mount --make-rprivate / || return 1
    mount -t tmpfs -o mode=0755 e2e-run /run && mount -t tmpfs -o mode=0755 e2e-var-lib /var/lib &&
        mount -t tmpfs -o mode=0755 e2e-opt /opt || return 1
    e2e_private_tmp "$build" /var/log || return 1
    chmod 0755 /var/log
    mkdir -p /run/e2e-units "$E2E_INSTALL_DIR/vpn" && mount --bind /run/e2e-units /etc/systemd/system || return 1
    cp "$build/vpn-service" "$E2E_INSTALL_DIR/" && cp "$build"/vpn/*.so "$E2E_INSTALL_DIR/vpn/" || return 1
    [ -z "${E2E_BUILT_VPNCTL:-}" ] || cp "$E2E_BUILT_VPNCTL" "$E2E_INSTALL_DIR/vpnctl" || return 1
    chown -R root:root /opt && chmod -R go-w /opt
    e2e_private_names || return 1
    e2e_mask_boot_units
}

# Names in the world come from its own hosts file only: a name it lacks does not exist (and
# says so at once), and no resolver outside is ever asked. Scenarios change the file in place
# (e2e_world_hosts), or let a resolver that does not answer be asked (e2e_world_name_sources).
E2E_NAMES=/run/e2e-names
e2e_private_names() {
    mkdir -p "$E2E_NAMES" && sed 's/^hosts:.*/hosts: files/' /etc/nsswitch.conf >"$E2E_NAMES/nsswitch.conf" &&
        e2e_world_hosts && echo 'nameserver 127.0.0.1' >"$E2E_NAMES/resolv.conf" &&
        mount --bind "$E2E_NAMES/nsswitch.conf" /etc/nsswitch.conf && mount --bind "$E2E_NAMES/hosts" /etc/hosts || return 1
    # A resolv.conf linked into the host's /run finds nothing in the world's: glibc then asks 127.0.0.1 too.
    [ ! -f /etc/resolv.conf ] || [ -L /etc/resolv.conf ] || mount --bind "$E2E_NAMES/resolv.conf" /etc/resolv.conf
}

# The world's hosts file: localhost and the given lines ("ADDRESS NAME"), written in place,
# so every process sees it at its next lookup.
e2e_world_hosts() { # line...
    { printf '127.0.0.1 localhost\n::1 localhost\n'; printf '%s\n' "$@"; } >"$E2E_NAMES/hosts"
}

# Where lookups go: "files" (the world's start), or "files dns", where names missing from the
# hosts file go to a resolver on the world's loopback that does not answer (as at boot).
e2e_world_name_sources() { # sources
    local changed # in place: the bind mount holds on to the file itself
    changed=$(sed "s/^hosts:.*/hosts: $1/" "$E2E_NAMES/nsswitch.conf") &&
        printf '%s\n' "$changed" >"$E2E_NAMES/nsswitch.conf"
}

# Private tmpfs on /tmp, /var/tmp and the given folders. A checkout or build kept under /tmp
# or /var/tmp (a CI clone, say) would vanish under them, and with it the scenario scripts:
# each is held in /run first and bound back to its own path inside the private /tmp. systemd
# never cleans it: tmpfiles is masked.
e2e_private_tmp() { # build-dir [more folders...]
    local build=$1 kept=() dir
    shift
    for dir in "$E2E_SOURCE_ROOT" "$build"; do
        case $dir in /tmp/* | /var/tmp/*) ;; *) continue ;; esac
        mkdir -p "/run/e2e-kept/${#kept[@]}" && mount --bind "$dir" "/run/e2e-kept/${#kept[@]}" || return 1
        kept+=("$dir")
    done
    for dir in /tmp /var/tmp "$@"; do
        mount -t tmpfs -o mode=1777 e2e-tmp "$dir" || return 1
    done
    local i
    for i in "${!kept[@]}"; do
        mkdir -p "${kept[$i]}" && mount --bind "/run/e2e-kept/$i" "${kept[$i]}" || return 1
    done
}

# The world's target, the boot units masked, and the last check before the boot: the host's
# /tmp must be out of reach.
e2e_mask_boot_units() {
    local unit
    for unit in $(e2e_masked_units); do
        ln -sf /dev/null "/etc/systemd/system/$unit" || return 1
    done
    cat >"/etc/systemd/system/$E2E_TARGET" <<UNIT
[Unit]
Description=End-to-end world
Wants=systemd-journald.socket systemd-journald.service
UNIT
    mountpoint -q /tmp && mountpoint -q /var/tmp && [ "$(readlink /etc/systemd/system/systemd-tmpfiles-clean.timer)" = /dev/null ] &&
        [ "$(readlink /etc/systemd/system/systemd-tmpfiles-setup.service)" = /dev/null ] || return 1
    ip link set dev lo up
}

# The world for package tests: the whole root as the lower layer of an overlay whose upper
# layer is a tmpfs, made the root with pivot_root, so that apt and dpkg write only into the
# tmpfs. /proc, /sys and /dev are the world's own or bound in; /run, /tmp and /var/tmp are
# private tmpfs.
e2e_prepare_overlay_world() { # build-dir
    local build=$1 layers=/run/e2e-layers
    mount --make-rprivate / || return 1
    mount -t tmpfs -o mode=0755 e2e-layers /run && mkdir -p $layers/upper $layers/work $layers/root || return 1
    mount -t overlay -o lowerdir=/,upperdir=$layers/upper,workdir=$layers/work e2e-root $layers/root || return 1
    # The overlay shows the root file system only: a checkout or build on a mount of its own
    # is bound in at its own path.
    local dir
    for dir in "$E2E_SOURCE_ROOT" "$build"; do
        [ "$(findmnt -n -o TARGET -T "$dir")" != / ] || continue
        mkdir -p "$layers/root$dir" && mount --rbind "$dir" "$layers/root$dir" || return 1
    done
    mount -t proc proc $layers/root/proc && mount --rbind /sys $layers/root/sys &&
        mount --rbind /dev $layers/root/dev || return 1
    cd $layers/root && mkdir -p .e2e-old-root && pivot_root . .e2e-old-root && cd / || return 1
    umount -l /.e2e-old-root && rmdir /.e2e-old-root || return 1
    mount -t tmpfs -o mode=0755 e2e-run /run || return 1
    e2e_private_tmp "$build" || return 1
    e2e_mask_boot_units
}

# A command-line scenario started by ctest with the built executable as its argument: outside
# the world, skips (status 0) without root, systemd or nsenter, finds the build and moves in.
e2e_scenario_world() { # executable what_they_are_needed_for script
    if [ -z "${E2E_IN_WORLD:-}" ]; then
        if [ "$(id -u)" -ne 0 ] || [ ! -x /lib/systemd/systemd ] || ! command -v nsenter >/dev/null; then
            echo "SKIP: needs root, systemd and nsenter $2"
            exit 0
        fi
        e2e_locate_build "$(dirname "$(realpath "$1")")"
    fi
    e2e_enter_world "$3"
}

# Outside: boots the world and runs the calling script again inside it, with the same
# arguments; never returns.
e2e_enter_world() { # script args...
    if [ -n "${E2E_IN_WORLD:-}" ]; then
        e2e_inside_world
        return
    fi
    local script
    script=$(realpath "$1") || e2e_fail "cannot find $1"
    shift
    local log
    log=$(mktemp) || e2e_fail "mktemp failed"
    # Tied to this shell both ways: if it is killed outright (a test timeout), unshare gets
    # SIGKILL, and unshare's --kill-child then takes the world's systemd with it.
    setpriv --pdeathsig KILL unshare --pid --fork --kill-child --mount --mount-proc --net --uts --ipc \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin E2E_BUILT_VPNCTL="$VPNCTL" E2E_INSTALL_DIR="$E2E_INSTALL_DIR" \
        bash -c "source '$(dirname "${BASH_SOURCE[0]}")/lib.sh' && ${E2E_PREPARE:-e2e_prepare_world} '$VELNARO_BUILD_DIR' || exit 99
                 export container=velnaro-e2e
                 exec /lib/systemd/systemd --system --unit=$E2E_TARGET" >"$log" 2>&1 &
    local unshare_pid=$!
    trap 'e2e_end_world' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    local i
    for ((i = 0; i < 100; i++)); do
        E2E_WORLD_PID=$(pgrep -P "$unshare_pid" | head -n 1)
        [ -n "$E2E_WORLD_PID" ] && [[ $(readlink "/proc/$E2E_WORLD_PID/exe" 2>/dev/null) == */lib/systemd/systemd ]] && break
        kill -0 "$unshare_pid" 2>/dev/null || break
        E2E_WORLD_PID=
        sleep 0.1
    done
    [ -n "$E2E_WORLD_PID" ] || e2e_fail "systemd did not start in the world: $(cat "$log")"
    rm -f "$log"
    # systemctl reaches systemd through its private socket, which comes a moment after exec.
    for ((i = 0; i < 100; i++)); do
        [ -S "/proc/$E2E_WORLD_PID/root/run/systemd/private" ] && break
        sleep 0.1
    done
    local state
    state=$(timeout 60 nsenter -t "$E2E_WORLD_PID" -a systemctl is-system-running --wait 2>&1)
    [ "$state" = running ] || e2e_fail "the world's systemd is $state"
    # The build directory travels as an absolute path; inside, the working folder is "/".
    nsenter -t "$E2E_WORLD_PID" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin E2E_IN_WORLD=1 \
        E2E_VERBOSE="$E2E_VERBOSE" VELNARO_BUILD_DIR="$VELNARO_BUILD_DIR" \
        VELNARO_E2E_STRICT_GIVE_UP="${VELNARO_E2E_STRICT_GIVE_UP:-1}" bash "$script" "$@"
    exit $?
}

e2e_end_world() {
    local status=$?
    trap - EXIT
    [ -n "$E2E_WORLD_PID" ] && kill -KILL "$E2E_WORLD_PID" 2>/dev/null
    wait 2>/dev/null
    exit "$status"
}

# Inside: the installed copy is what runs; the data directory is systemd's default one.
e2e_inside_world() {
    VPN_SERVICE=$E2E_INSTALL_DIR/vpn-service
    VPNCTL=
    [ -x "$E2E_INSTALL_DIR/vpnctl" ] && VPNCTL=$E2E_INSTALL_DIR/vpnctl
    export PROGRAMDATA=/var/lib
    mkdir -p "$E2E_WORK/tmp" && chmod 0700 "$E2E_WORK" || e2e_fail "cannot create $E2E_WORK"
    export TMPDIR=$E2E_WORK/tmp
    trap e2e_leave_world EXIT
}

# Every process of the world but systemd and the scenario's own shell.
e2e_all_pids() {
    local entry pid
    for entry in /proc/[0-9]*; do
        pid=${entry#/proc/}
        [ "$pid" -ne 1 ] && [ "$pid" -ne "$$" ] && [ "$pid" -ne "$BASHPID" ] && echo "$pid"
    done
}

# The world ends from outside (SIGKILL to its systemd); only the gateway is ours to stop.
e2e_leave_world() {
    local status=$?
    trap - EXIT
    [ -n "$GATEWAY_PID" ] && kill -TERM "$GATEWAY_PID" 2>/dev/null
    exit "$status"
}

# Prerequisites, build products, then the world. Every scenario starts with this.
e2e_begin() { # script build-dir
    local script=$1
    shift
    e2e_check_prerequisites
    e2e_locate_build "$@"
    # Inside, the working folder is "/": the build folder goes as the absolute path.
    e2e_enter_world "$script" "$VELNARO_BUILD_DIR" "${@:2}"
}

# ---------------------------------------------------------------------------------------
# Bounded waiting

# Runs the command every 0.2 s until it succeeds or the seconds run out.
e2e_wait_until() { # seconds command...
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    while true; do
        "$@" && return 0
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.2
    done
}

# Whether a unit's journal holds a text. journald takes a unit's output on its own time, so
# callers wait for it (e2e_wait_until); grep -c reads to the end, where with -q journalctl's
# SIGPIPE would fail the pipeline under pipefail.
e2e_journal_says() { # unit text
    [ "$(journalctl -u "$1" --no-pager | grep -cF -- "$2")" -ge 1 ]
}

# ---------------------------------------------------------------------------------------
# The gateway peer

e2e_gateway_wg() { ip netns exec "$E2E_GATEWAY_NS" wg "$@"; }

e2e_gateway_socket_ready() {
    [ -S "/run/wireguard/$E2E_GATEWAY_IF.sock" ] &&
        ip -n "$E2E_GATEWAY_NS" link show dev "$E2E_GATEWAY_IF" >/dev/null 2>&1
}

# A gateway namespace joined to the device's namespace by a veth pair, running wireguard-go
# with its own key pair, listening on the veth address, tunnel address 10.250.0.1/16.
e2e_start_gateway() {
    local ns=$E2E_GATEWAY_NS
    ip netns add "$ns" || e2e_fail "cannot create the gateway namespace"
    ip link add veth-dev type veth peer name veth-gw netns "$ns" || e2e_fail "cannot create the veth pair"
    ip address add "$E2E_DEVICE_UNDERLAY/24" dev veth-dev &&
        ip link set dev veth-dev up &&
        ip -n "$ns" address add "$E2E_GATEWAY_UNDERLAY/24" dev veth-gw &&
        ip -n "$ns" link set dev veth-gw up &&
        ip -n "$ns" link set dev lo up || e2e_fail "cannot address the veth pair"

    local key=$E2E_WORK/gateway.key
    (umask 077 && wg genkey >"$key") || e2e_fail "wg genkey failed"
    GATEWAY_PUBLIC_KEY=$(wg pubkey <"$key") || e2e_fail "wg pubkey failed"

    ip netns exec "$ns" env WG_PROCESS_FOREGROUND=1 LOG_LEVEL=error \
        wireguard-go "$E2E_GATEWAY_IF" >"$E2E_WORK/gateway.log" 2>&1 &
    GATEWAY_PID=$!
    e2e_wait_until 10 e2e_gateway_socket_ready ||
        e2e_fail "the gateway's wireguard-go did not come up: $(cat "$E2E_WORK/gateway.log")"
    e2e_gateway_wg set "$E2E_GATEWAY_IF" listen-port "$E2E_GATEWAY_PORT" private-key "$key" ||
        e2e_fail "cannot configure the gateway"
    ip -n "$ns" address add "$E2E_GATEWAY_TUNNEL_ADDRESS/16" dev "$E2E_GATEWAY_IF" &&
        ip -n "$ns" link set dev "$E2E_GATEWAY_IF" up || e2e_fail "cannot bring up the gateway's interface"
}

# Lets the device in with its current public key.
e2e_gateway_allow() { # public-key
    e2e_gateway_wg set "$E2E_GATEWAY_IF" peer "$1" allowed-ips "$E2E_DEVICE_TUNNEL_ADDRESS/32" ||
        e2e_fail "cannot add peer $1 to the gateway"
}

e2e_gateway_forget() { # public-key
    e2e_gateway_wg set "$E2E_GATEWAY_IF" peer "$1" remove || e2e_fail "cannot remove peer $1 from the gateway"
}

# The gateway's view of a peer's last handshake, in seconds since 1970 (0: none).
e2e_gateway_handshake_of() { # public-key
    e2e_gateway_wg show "$E2E_GATEWAY_IF" latest-handshakes | awk -v key="$1" '$1 == key { print $2 }'
}

# ---------------------------------------------------------------------------------------
# Requests to the service

# Speaks the frame protocol directly; used where no vpnctl was built.
e2e_python_request() { # body
    timeout 70 python3 - "$E2E_SOCKET" "$1" <<'EOF'
import socket, struct, sys
path, body = sys.argv[1], sys.argv[2].encode()
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(60)
s.connect(path)
s.sendall(struct.pack("<I", len(body)) + body)
def read(n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            sys.exit("connection closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data
length = struct.unpack("<I", read(4))[0]
sys.stdout.write(read(length).decode() + "\n")
EOF
}

# Sends one request body; the response body lands in E2E_RESPONSE. Fails when no response
# came back (vpnctl's exit status also marks ERROR answers, so the body decides).
e2e_request() { # body
    [ -n "$E2E_VERBOSE" ] && echo "> $1"
    local answer
    if [ -n "$VPNCTL" ]; then
        answer=$(timeout 70 "$VPNCTL" raw "$1" 2>&1)
    else
        answer=$(e2e_python_request "$1" 2>&1)
    fi
    E2E_RESPONSE=$answer
    [ -n "$E2E_VERBOSE" ] && echo "< $answer"
    jq -e 'type == "object" and (.type | type) == "string"' >/dev/null 2>&1 <<<"$answer"
}

e2e_command() { # COMMAND
    e2e_request "{\"command\":\"$1\"}" || e2e_fail "$1: no answer from the service ($E2E_RESPONSE)"
}

# Sends COMMAND and insists on a response of TYPE.
e2e_expect() { # COMMAND TYPE
    e2e_command "$1"
    e2e_response_is "$2" || e2e_fail "$1 answered $E2E_RESPONSE, expected $2"
}

e2e_response_is() { # TYPE
    [ "$(jq -r .type <<<"$E2E_RESPONSE")" = "$1" ]
}

e2e_error_code() { jq -r '.payload.code // empty' <<<"$E2E_RESPONSE"; }

# A request whose answer must be of the given type, sent without echoing either: polls stay
# quiet in verbose runs.
e2e_quiet_request() { # command answer-type
    local saved=$E2E_VERBOSE
    E2E_VERBOSE=
    e2e_request "{\"command\":\"$1\"}" && e2e_response_is "$2"
    local status=$?
    E2E_VERBOSE=$saved
    return $status
}

e2e_service_answers() { e2e_quiet_request GET_VERSION VERSION; }

# ---------------------------------------------------------------------------------------
# Tunnel configuration

# The device's configuration for the local gateway, optionally changed by a jq filter.
e2e_config() { # [jq-filter]
    jq -c "${1:-.}" <<EOF
{"configVersion":1,"address":"$E2E_DEVICE_TUNNEL_ADDRESS/32","gatewayPublicKey":"$GATEWAY_PUBLIC_KEY",
 "endpointHost":"$E2E_GATEWAY_UNDERLAY","endpointPort":$E2E_GATEWAY_PORT,
 "allowedIps":["$E2E_TUNNEL_NETWORK"],"persistentKeepalive":25}
EOF
}

e2e_apply() { # config-json
    e2e_request "{\"command\":\"APPLY_CONFIG\",\"payload\":$1}" ||
        e2e_fail "APPLY_CONFIG: no answer from the service ($E2E_RESPONSE)"
}

# ---------------------------------------------------------------------------------------
# Status

e2e_status() {
    e2e_quiet_request GET_STATUS STATUS || e2e_fail "GET_STATUS answered $E2E_RESPONSE"
    E2E_LAST_STATUS=$(jq -c .payload <<<"$E2E_RESPONSE")
}

e2e_status_field() { # member
    jq -r ".$1" <<<"$E2E_LAST_STATUS"
}

# Polls GET_STATUS until the payload satisfies the jq condition; E2E_STATE_TRAIL lists the
# states seen on the way, each once per run of equal states.
e2e_wait_status() { # seconds jq-condition
    local deadline=$((SECONDS + $1))
    E2E_STATE_TRAIL=
    local state last=
    while true; do
        e2e_status
        state=$(e2e_status_field state)
        if [ "$state" != "$last" ]; then
            E2E_STATE_TRAIL="${E2E_STATE_TRAIL:+$E2E_STATE_TRAIL }$state"
            last=$state
        fi
        jq -e "$2" >/dev/null <<<"$E2E_LAST_STATUS" && return 0
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.25
    done
}

e2e_wait_state() { # seconds STATE
    e2e_wait_status "$1" ".state == \"$2\"" ||
        e2e_fail "no $2 within $1 s (states seen: $E2E_STATE_TRAIL)"
}

# ---------------------------------------------------------------------------------------
# Processes and the interface

# Pids whose command line matches the pattern (an extended regular expression over the
# arguments joined by blanks).
e2e_pids_matching() { # regex
    local pid line
    for pid in $(e2e_all_pids); do
        line=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") || continue
        [[ $line =~ $1 ]] && echo "$pid"
    done
}

e2e_service_pids() { e2e_pids_matching '(^|/)vpn-service --service $'; }
e2e_tunnel_service_pids() { e2e_pids_matching '(^|/)vpn-service --tunnel-service '; }
e2e_tunnel_daemon_pids() { e2e_pids_matching "wireguard-go -f $E2E_TUNNEL_INTERFACE "; }

e2e_interface_present() { ip link show dev "$E2E_TUNNEL_INTERFACE" >/dev/null 2>&1; }
e2e_interface_absent() { ! e2e_interface_present; }
e2e_no_tunnel_processes() { [ -z "$(e2e_tunnel_service_pids)$(e2e_tunnel_daemon_pids)" ]; }
e2e_no_service_process() { [ -z "$(e2e_service_pids)" ]; }

# Echo requests through the tunnel to the gateway's tunnel address; true when one is answered.
e2e_ping_gateway() { # [count]
    ping -n -q -c "${1:-3}" -i 0.2 -W 2 "$E2E_GATEWAY_TUNNEL_ADDRESS" >/dev/null 2>&1
}

# ---------------------------------------------------------------------------------------
# Service installation

e2e_service_state() { "$VPN_SERVICE" --service-status | jq -r .state; }

e2e_service_state_is() { [ "$(e2e_service_state)" = "$1" ]; }

e2e_install() { # [expected-state]
    local expected=${1:-INSTALLED} out
    [ -n "$E2E_VERBOSE" ] && echo "\$ vpn-service --install-service"
    out=$("$VPN_SERVICE" --install-service) || e2e_fail "--install-service failed: $out"
    [ -n "$E2E_VERBOSE" ] && echo "$out"
    [ "$(jq -r .state <<<"$out")" = "$expected" ] || e2e_fail "--install-service said $out, expected $expected"
    e2e_wait_until 15 e2e_service_answers || e2e_fail "the service does not answer after installation"
}

e2e_uninstall() {
    local out
    [ -n "$E2E_VERBOSE" ] && echo "\$ vpn-service --uninstall-service"
    out=$("$VPN_SERVICE" --uninstall-service) || e2e_fail "--uninstall-service failed: $out"
    [ -n "$E2E_VERBOSE" ] && echo "$out"
    [ "$(jq -r .state <<<"$out")" = "REMOVAL_SCHEDULED" ] ||
        e2e_fail "--uninstall-service said $out, expected REMOVAL_SCHEDULED"
}

# ENSURE_IDENTITY; DEVICE_PUBLIC_KEY takes the answer's public key.
e2e_ensure_identity() {
    e2e_expect ENSURE_IDENTITY PUBLIC_IDENTITY
    DEVICE_PUBLIC_KEY=$(jq -r .payload.publicKey <<<"$E2E_RESPONSE")
    [ "${#DEVICE_PUBLIC_KEY}" -eq 44 ] || e2e_fail "public key of unexpected form: $E2E_RESPONSE"
}

# The common opening: gateway up, service installed, identity made and known to the
# gateway, configuration applied (changed by the jq filter, if given), tunnel CONNECTED.
e2e_connect() { # [jq-filter]
    e2e_start_gateway
    e2e_install
    e2e_ensure_identity
    e2e_gateway_allow "$DEVICE_PUBLIC_KEY"
    e2e_apply "$(e2e_config "${1:-.}")"
    e2e_response_is ACCEPTED || e2e_fail "APPLY_CONFIG answered $E2E_RESPONSE"
    e2e_wait_state 20 CONNECTED
}
