#!/usr/bin/env bash
# GET_STATUS under load, in the end-to-end world (../tests/e2e/lib.sh: systemd as PID 1 of
# private namespaces, private /tmp and /var/tmp, tmpfiles units masked, a real gateway): the
# tunnel is brought to CONNECTED, then bench_status_load measures GET_STATUS idle and while
# POLLERS clients poll it ten times a second and one more applies, stops and starts in a loop.
# Usage (root): vpn-service/bench/bench_status_load.sh BUILD_DIR [SECONDS, default 30] [POLLERS, default 50]
#               [CHANGERS, default 1; 0 for the polls alone]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/lib.sh"
e2e_begin "$0" "$@"
seconds=${2:-30}
pollers=${3:-50}
changers=${4:-1}
program=$VELNARO_BUILD_DIR/bench_status_load
[ -x "$program" ] || e2e_fail "$program is not built"

e2e_connect
config=$E2E_WORK/tunnel.json
e2e_config >"$config"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$program" "$E2E_SOCKET" "$config" "$seconds" "$pollers" "$changers"
status=$?
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
