#!/usr/bin/env bash
# Install, status, self-test and removal of the service with systemd, as root inside the
# end-to-end world (systemd as PID 1 of private namespaces, see tests/e2e/lib.sh), so the
# machine itself is never touched.
set -u
source "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/../e2e/lib.sh"
e2e_scenario_world "${1:-}" "for the service manager and the namespaces" "$0"
exe=$VPN_SERVICE
fail=0
result() { printf '{"success":%s,"serviceName":"VelnaroVpnService","state":"%s","detailCode":%s}' "$@"; }

expect() { # name want_stdout want_status args...
    local name=$1 want=$2 want_status=$3
    shift 3
    local out status
    out=$("$exe" "$@"; printf 'x%s' $?)
    status=${out##*x}
    out=${out%x*}
    if [ "$out" != "$want"$'\n' ] || [ "$status" != "$want_status" ]; then
        echo "FAIL $name: status=$status stdout=[$out]"
        fail=1
    fi
}

wait_for() { # state
    for _ in $(seq 100); do
        "$exe" --service-status | grep -q "\"state\":\"$1\"" && return 0
        sleep 0.05
    done
    echo "FAIL: the service never reached $1"
    fail=1
}

expect status_before "$(result true NOT_INSTALLED null)" 0 --service-status
expect uninstall_absent "$(result true NOT_INSTALLED null)" 0 --uninstall-service
expect install "$(result true INSTALLED null)" 0 --install-service
wait_for RUNNING
expect status_running "$(result true RUNNING null)" 0 --service-status
expect install_again "$(result true ALREADY_INSTALLED null)" 0 --install-service
expect self_test_with_service \
    '{"success":true,"pipeName":"/run/velnaro/VelnaroVpnService.v1.sock","detailCode":null}' 0 \
    --ipc-self-test
expect still_running "$(result true RUNNING null)" 0 --service-status
systemctl stop VelnaroVpnService
expect status_stopped "$(result true STOPPED null)" 0 --service-status
expect install_starts_it "$(result true ALREADY_INSTALLED null)" 0 --install-service
wait_for RUNNING
expect uninstall "$(result true REMOVAL_SCHEDULED null)" 0 --uninstall-service
wait_for NOT_INSTALLED
for _ in $(seq 100); do
    [ -e /run/velnaro/VelnaroVpnService.v1.sock ] || pgrep -f "$exe --service" >/dev/null || break
    sleep 0.05
done
if [ -e /run/velnaro/VelnaroVpnService.v1.sock ]; then
    echo "FAIL: the socket outlived the service"
    fail=1
fi
if pgrep -af "$exe --service"; then
    echo "FAIL: the service process is still there"
    fail=1
fi
if [ -e /etc/systemd/system/VelnaroVpnService.service ]; then
    echo "FAIL: the unit file outlived the removal"
    fail=1
fi
exit $fail
