# Shared by the command-line tests of both systems (sourced, not run).
# expect NAME WANT_STDOUT WANT_STDERR WANT_STATUS COMMAND [ARGS...]
# runs the command and compares standard output, standard error and exit status byte for
# byte; a mismatch is printed and counted in cli_failures.
cli_failures=0

expect() {
    local name=$1 want_out=$2 want_err=$3 want_status=$4
    shift 4
    local err_file out status err
    err_file=$(mktemp)
    out=$("$@" 2>"$err_file"; printf 'x%s' $?)
    status=${out##*x}
    out=${out%x*}
    err=$(cat "$err_file"; printf x)
    err=${err%x}
    rm -f "$err_file"
    if [ "$out" != "$want_out" ] || [ "$err" != "$want_err" ] || [ "$status" != "$want_status" ]; then
        echo "FAIL $name: status=$status stdout=[$out] stderr=[$err]"
        cli_failures=$((cli_failures + 1))
    fi
}

usage_line='VelnaroVpnService: utilisez --service-status, --self-test, --component-self-test ou --identity-self-test.'
status_self_test_line='{"type":"STATUS","payload":{"state":"UNAVAILABLE","serviceName":"VelnaroVpnService","tunnelName":"VelnaroTunnel","serviceVersion":"0.1.0","detailCode":"WIREGUARD_EMBEDDABLE_NOT_LINKED","lastHandshakeUnixSeconds":null,"rxBytes":0,"txBytes":0}}'
