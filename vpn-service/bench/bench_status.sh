#!/usr/bin/env bash
# GET_STATUS against GET_VERSION from the same client, interleaved, against the service with a
# connected tunnel (bench_status_poll, in the world of world.sh).
# Usage (root): vpn-service/bench/bench_status.sh BUILD_DIR [PAIRS, default 2000]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/world.sh"
bench_world_begin "$0" "$@"
poll=$BENCH_BUILD/bench_status_poll
[ -x "$poll" ] || e2e_fail "$poll is not built (cmake --build BUILD_DIR --target bench_status_poll)"
bench_world_connected
"$poll" "${2:-2000}" "$E2E_SOCKET" || e2e_fail "bench_status_poll failed"
