#!/usr/bin/env bash
# The executable's output for the version, unknown options and no option, byte for byte.
set -u
exe=$1
. "$(dirname "$0")/lib/expect.sh"

expect version $'0.1.0\n' '' 0 "$exe" --version
expect version_ignores_rest $'0.1.0\n' '' 0 "$exe" --version --service
expect no_argument '' "$usage_line"$'\n' 2 "$exe"
expect wrong_case '' "$usage_line"$'\n' 2 "$exe" --Service
expect trailing_blank '' "$usage_line"$'\n' 2 "$exe" '--service '
expect with_value '' "$usage_line"$'\n' 2 "$exe" '--version=1'
expect prefix '' "$usage_line"$'\n' 2 "$exe" --vers
expect invalid_utf8 '' "$usage_line"$'\n' 2 "$exe" $'\xff--version'
[ "$cli_failures" -eq 0 ]
