# Shared by the command-line tests of both systems (sourced, not run).
# expect NAME WANT_STDOUT WANT_STDERR WANT_STATUS COMMAND [ARGS...]
# runs the command and compares standard output, standard error and exit status byte for
# byte; a mismatch is printed and counted in cli_failures.
# expect_match NAME STDOUT_REGEX WANT_STDERR WANT_STATUS COMMAND [ARGS...]
# does the same where standard output may vary: it must match the (bash) regular expression,
# which sees the output with its line feeds.
cli_failures=0

# Sets cli_out, cli_err and cli_status, keeping trailing line feeds.
cli_run() {
    local err_file
    err_file=$(mktemp)
    cli_out=$("$@" 2>"$err_file"; printf 'x%s' $?)
    cli_status=${cli_out##*x}
    cli_out=${cli_out%x*}
    cli_err=$(cat "$err_file"; printf x)
    cli_err=${cli_err%x}
    rm -f "$err_file"
}

cli_report() { # name
    echo "FAIL $1: status=$cli_status stdout=[$cli_out] stderr=[$cli_err]"
    cli_failures=$((cli_failures + 1))
}

expect() {
    local name=$1 want_out=$2 want_err=$3 want_status=$4
    shift 4
    cli_run "$@"
    if [ "$cli_out" != "$want_out" ] || [ "$cli_err" != "$want_err" ] ||
        [ "$cli_status" != "$want_status" ]; then
        cli_report "$name"
    fi
}

expect_match() {
    local name=$1 out_pattern=$2 want_err=$3 want_status=$4
    shift 4
    cli_run "$@"
    if ! [[ "$cli_out" =~ $out_pattern ]] || [ "$cli_err" != "$want_err" ] ||
        [ "$cli_status" != "$want_status" ]; then
        cli_report "$name"
    fi
}

usage_line='VelnaroVpnService: utilisez --service-status, --self-test, --component-self-test ou --identity-self-test.'
status_self_test_line='{"type":"STATUS","payload":{"state":"UNAVAILABLE","serviceName":"VelnaroVpnService","tunnelName":"VelnaroTunnel","serviceVersion":"0.1.0","detailCode":"WIREGUARD_EMBEDDABLE_NOT_LINKED","lastHandshakeUnixSeconds":null,"rxBytes":0,"txBytes":0}}'
