#!/usr/bin/env bash
# "--self-test" runs one GET_STATUS through the dispatcher without WireGuard and prints the
# STATUS response exactly as the pipe would carry it, with exit status 0 although the
# status names a detail code.
set -u
exe=$1
. "$(dirname "$0")/lib/expect.sh"

expect self_test "$status_self_test_line"$'\n' '' 0 "$exe" --self-test
expect self_test_ignores_rest "$status_self_test_line"$'\n' '' 0 "$exe" --self-test --service
[ "$cli_failures" -eq 0 ]
