#!/usr/bin/env bash
# The Windows executable under Wine: "--self-test" prints the STATUS response of the
# dispatcher without WireGuard byte for byte (no carriage return) and exits 0.
set -u
exe=$1
. "$(dirname "$0")/../../cli/lib/expect.sh"

expect self_test "$status_self_test_line"$'\n' '' 0 wine "$exe" --self-test
expect self_test_ignores_rest "$status_self_test_line"$'\n' '' 0 wine "$exe" --self-test --service
[ "$cli_failures" -eq 0 ]
