#!/usr/bin/env bash
# The executable's output for the version, unknown options and no option, byte for byte.
set -u
exe=$1
fail=0
usage='VelnaroVpnService: utilisez --service-status, --self-test, --component-self-test ou --identity-self-test.'

check() { # name want_stdout want_stderr want_status args...
    local name=$1 want_out=$2 want_err=$3 want_status=$4
    shift 4
    local out err status
    out=$("$exe" "$@" 2>/tmp/cli_err.$$; printf 'x%s' $?)
    status=${out##*x}
    out=${out%x*}
    err=$(cat /tmp/cli_err.$$; printf x)
    err=${err%x}
    rm -f /tmp/cli_err.$$
    if [ "$out" != "$want_out" ] || [ "$err" != "$want_err" ] || [ "$status" != "$want_status" ]; then
        echo "FAIL $name: status=$status stdout=[$out] stderr=[$err]"
        fail=1
    fi
}

check version $'0.1.0\n' '' 0 --version
check version_ignores_rest $'0.1.0\n' '' 0 --version --service
check no_argument '' "$usage"$'\n' 2
check wrong_case '' "$usage"$'\n' 2 --Service
check trailing_blank '' "$usage"$'\n' 2 '--service '
check with_value '' "$usage"$'\n' 2 '--version=1'
check prefix '' "$usage"$'\n' 2 --vers
check invalid_utf8 '' "$usage"$'\n' 2 $'\xff--version'
exit $fail
