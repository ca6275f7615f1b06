#!/usr/bin/env bash
# The sealing and identity self-test modes: exact output and status, and the identity
# self-test leaving the data directory as it found it.
set -u
fail=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/lib/stage.sh"
exe=$(stage_build "$1" "$work/build") || exit 1

run() { # name want_stdout want_status args... (PROGRAMDATA taken from the environment)
    local name=$1 want_out=$2 want_status=$3
    shift 3
    local out status err
    out=$("$exe" "$@" 2>"$work/err"; printf 'x%s' $?)
    status=${out##*x}
    out=${out%x*}
    err=$(cat "$work/err")
    if [ "$out" != "$want_out" ] || [ "$status" != "$want_status" ] || [ -n "$err" ]; then
        echo "FAIL $name: status=$status stdout=[$out] stderr=[$err]"
        fail=1
    fi
}

passed=$'{"success":true,"detailCode":null}\n'
identity_passed=$'{"success":true,"stableAfterReload":true,"keyVersion":1,"detailCode":null}\n'

PROGRAMDATA=$work/pd run dpapi "$passed" 0 --dpapi-self-test

if [ -d "$(dirname "$exe")/vpn" ]; then
    PROGRAMDATA=$work/pd run identity_crypto "$passed" 0 --identity-crypto-self-test

    mkdir -p "$work/pd"
    PROGRAMDATA=$work/pd run identity_empty "$identity_passed" 0 --identity-self-test
    if [ -n "$(ls -A "$work/pd")" ]; then
        echo "FAIL identity_empty: left behind: $(find "$work/pd" -mindepth 1)"
        fail=1
    fi

    data=$work/pd/Velnaro/vpn
    mkdir -p "$data"
    printf 'sealed' >"$data/VelnaroTunnel.conf.dpapi"
    PROGRAMDATA=$work/pd run identity_with_config "$identity_passed" 0 --identity-self-test
    if [ "$(ls -A "$data")" != "VelnaroTunnel.conf.dpapi" ] ||
        [ "$(cat "$data/VelnaroTunnel.conf.dpapi")" != "sealed" ]; then
        echo "FAIL identity_with_config: directory now holds: $(ls -A "$data")"
        fail=1
    fi
else
    echo "SKIP identity self-tests that need the WireGuard components: no vpn/ beside $exe"
fi

rm -rf "$work/pd"
PROGRAMDATA=relative/path run identity_relative_programdata \
    $'{"success":false,"stableAfterReload":false,"keyVersion":null,"detailCode":"PROGRAMDATA_UNAVAILABLE"}\n' \
    1 --identity-self-test
if [ -e relative/path ]; then
    echo "FAIL identity_relative_programdata: created a relative directory"
    fail=1
fi

exit $fail
