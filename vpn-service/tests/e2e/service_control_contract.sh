#!/usr/bin/env bash
# The service-control contract suite against systemd: posix_tests registers, changes, stops and
# deletes units only inside the world, whose systemd and unit folder are its own. Fails when a
# case fails, and when no case ran (each one skipped says the suite did not reach systemd).
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ -z "${E2E_IN_WORLD:-}" ]; then
    [ "$(id -u)" -eq 0 ] || e2e_skip "needs root for the namespaces and systemd"
    [ -x /lib/systemd/systemd ] || e2e_skip "needs systemd"
    command -v nsenter >/dev/null 2>&1 || e2e_skip "needs nsenter"
    e2e_locate_build "${1:-}"
fi
posix_tests=$VELNARO_BUILD_DIR/posix_tests
[ -x "$posix_tests" ] || e2e_fail "$posix_tests is not built"
e2e_enter_world "$0" "$VELNARO_BUILD_DIR"

# The suites of posix_tests leave files in the working folder: the world's own, never "/".
out=$(cd "$TMPDIR" && "$posix_tests" --gtest_filter='*ServiceControlContract*' 2>&1)
status=$?
echo "$out"
[ "$status" -eq 0 ] || e2e_fail "posix_tests exited $status"
passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' <<<"$out")
[ "${passed:-0}" -gt 0 ] || e2e_fail "no service-control case ran: $(grep -m 1 -A 1 'Skipped' <<<"$out" | tail -n 1)"
e2e_pass
