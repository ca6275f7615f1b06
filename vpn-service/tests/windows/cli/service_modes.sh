#!/usr/bin/env bash
# The Windows executable under Wine: the pipe self-test passes, "--service" from a console
# exits 1 without a word, "--service-status" reports NOT_INSTALLED or the service's state.
set -u
exe=$1
. "$(dirname "$0")/../../cli/lib/expect.sh"

expect ipc_self_test '{"success":true,"pipeName":"\\\\.\\pipe\\VelnaroVpnService.v1","detailCode":null}'$'\n' \
    '' 0 wine "$exe" --ipc-self-test
expect service_from_console '' '' 1 wine "$exe" --service
states='NOT_INSTALLED|STOPPED|START_PENDING|STOP_PENDING|RUNNING|CONTINUE_PENDING|PAUSE_PENDING|PAUSED'
expect_match service_status \
    '^\{"success":true,"serviceName":"VelnaroVpnService","state":"('"$states"')","detailCode":null\}'$'\n''$' \
    '' 0 wine "$exe" --service-status
[ "$cli_failures" -eq 0 ]
