#!/usr/bin/env bash
# The Windows executable under Wine: the pipe self-test passes, "--service" from a console
# exits 1 without a word, "--service-status" reports NOT_INSTALLED or the service's state.
set -u
exe=$1
fail=0

run() { # args... ; sets out, err, status
    out=$(wine "$exe" "$@" 2>/tmp/wine_svc_err.$$; printf 'x%s' $?)
    status=${out##*x}
    out=${out%x*}
    err=$(cat /tmp/wine_svc_err.$$)
    rm -f /tmp/wine_svc_err.$$
}

run --ipc-self-test
if [ "$out" != '{"success":true,"pipeName":"\\\\.\\pipe\\VelnaroVpnService.v1","detailCode":null}'$'\n' ] ||
    [ -n "$err" ] || [ "$status" != 0 ]; then
    echo "FAIL ipc_self_test: status=$status stdout=[$out] stderr=[$err]"
    fail=1
fi

run --service
if [ -n "$out" ] || [ -n "$err" ] || [ "$status" != 1 ]; then
    echo "FAIL service_from_console: status=$status stdout=[$out] stderr=[$err]"
    fail=1
fi

run --service-status
if ! [[ "$out" =~ ^\{\"success\":true,\"serviceName\":\"VelnaroVpnService\",\"state\":\"(NOT_INSTALLED|STOPPED|START_PENDING|STOP_PENDING|RUNNING|CONTINUE_PENDING|PAUSE_PENDING|PAUSED)\",\"detailCode\":null\}$'\n'$ ]] ||
    [ -n "$err" ] || [ "$status" != 0 ]; then
    echo "FAIL service_status: status=$status stdout=[$out] stderr=[$err]"
    fail=1
fi
exit $fail
