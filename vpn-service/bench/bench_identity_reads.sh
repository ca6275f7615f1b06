#!/usr/bin/env bash
# Reads against identity rotations, in the end-to-end world (world.sh: systemd as PID 1 of
# private namespaces, private /tmp and /var/tmp, tmpfiles units masked). The data directory
# lies on the machine's disk, not on the world's tmpfs, so that a rotation's flushes wait for
# a real device: a fresh folder of the build directory is bound over /var/lib/Velnaro before
# the service is installed, and removed at the end. Then bench_identity_reads times
# GET_VERSION and GET_PUBLIC_IDENTITY at rest and while root rotates the identity in a loop.
# Usage (root): vpn-service/bench/bench_identity_reads.sh BUILD_DIR [SECONDS per phase, default 20]
#               [READERS, default 1]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/world.sh"
bench_world_begin "$0" "$@"
seconds=${2:-20}
readers=${3:-1}
program=$BENCH_BUILD/bench_identity_reads
[ -x "$program" ] || e2e_fail "$program is not built"

on_disk=$(mktemp -d "$BENCH_BUILD/identity-reads-data.XXXXXX") || e2e_fail "cannot make a folder on disk"
cleanup() { umount /var/lib/Velnaro 2>/dev/null; rm -rf "$on_disk"; }
trap 'cleanup; e2e_leave_world' EXIT
chmod 0700 "$on_disk" && mkdir -p /var/lib/Velnaro && mount --bind "$on_disk" /var/lib/Velnaro ||
    e2e_fail "cannot bind $on_disk over /var/lib/Velnaro"
echo "data directory on: $(df --output=source,fstype /var/lib/Velnaro | tail -1)"

e2e_install
e2e_ensure_identity
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$program" "$E2E_SOCKET" "$seconds" "$readers"
status=$?
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
