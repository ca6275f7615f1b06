#!/usr/bin/env bash
# The Windows executable under Wine: version, usage line and exit status, byte for byte.
set -u
exe=$1
. "$(dirname "$0")/../../cli/lib/expect.sh"

expect version $'0.1.0\n' '' 0 wine "$exe" --version
expect version_ignores_rest $'0.1.0\n' '' 0 wine "$exe" --version --service
expect no_argument '' "$usage_line"$'\n' 2 wine "$exe"
expect wrong_case '' "$usage_line"$'\n' 2 wine "$exe" --Service
expect trailing_blank '' "$usage_line"$'\n' 2 wine "$exe" '--service '
[ "$cli_failures" -eq 0 ]
