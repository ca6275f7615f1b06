#!/usr/bin/env bash
# "--self-test" runs one GET_STATUS through the dispatcher without WireGuard and prints the
# STATUS response exactly as the pipe would carry it, with exit status 0 although the
# status names a detail code.
set -u
exe=$1
want='{"type":"STATUS","payload":{"state":"UNAVAILABLE","serviceName":"VelnaroVpnService","tunnelName":"VelnaroTunnel","serviceVersion":"0.1.0","detailCode":"WIREGUARD_EMBEDDABLE_NOT_LINKED","lastHandshakeUnixSeconds":null,"rxBytes":0,"txBytes":0}}'
fail=0

check() { # name args...
    local name=$1
    shift
    local out err status
    out=$("$exe" "$@" 2>/tmp/cli_self_err.$$; printf 'x%s' $?)
    status=${out##*x}
    out=${out%x*}
    err=$(cat /tmp/cli_self_err.$$)
    rm -f /tmp/cli_self_err.$$
    if [ "$out" != "$want"$'\n' ] || [ -n "$err" ] || [ "$status" != 0 ]; then
        echo "FAIL $name: status=$status stdout=[$out] stderr=[$err]"
        fail=1
    fi
}

check self_test --self-test
check self_test_ignores_rest --self-test --service
exit $fail
