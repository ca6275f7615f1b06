#!/usr/bin/env bash
# Identity rotation against a gateway that must be told the new key: an aborted rotation
# leaves the old key in force; a committed one connects with the new key once applied.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_begin "$0" "$@"

e2e_connect
old_key=$DEVICE_PUBLIC_KEY
e2e_expect GET_PUBLIC_IDENTITY PUBLIC_IDENTITY
installation=$(jq -r .payload.installationId <<<"$E2E_RESPONSE")

# prepared identity: same installation, next version, a new key
expect_pending() { # description
    jq -e --arg id "$installation" --arg old "$old_key" \
        '.payload.installationId == $id and .payload.keyVersion == 2 and .payload.publicKey != $old' \
        <<<"$E2E_RESPONSE" >/dev/null || e2e_fail "$1: $E2E_RESPONSE"
}

e2e_expect PREPARE_IDENTITY_ROTATION PUBLIC_IDENTITY
expect_pending "first prepare"
abandoned_key=$(jq -r .payload.publicKey <<<"$E2E_RESPONSE")
e2e_expect ABORT_IDENTITY_ROTATION ACCEPTED
e2e_expect GET_PUBLIC_IDENTITY PUBLIC_IDENTITY
jq -e --arg old "$old_key" '.payload.publicKey == $old and .payload.keyVersion == 1' \
    <<<"$E2E_RESPONSE" >/dev/null || e2e_fail "after ABORT the identity is $E2E_RESPONSE"
e2e_command COMMIT_IDENTITY_ROTATION
[ "$(e2e_error_code)" = IDENTITY_ROTATION_NOT_PREPARED ] || e2e_fail "COMMIT after ABORT answered $E2E_RESPONSE"
e2e_status
[ "$(e2e_status_field state)" = CONNECTED ] || e2e_fail "an aborted rotation disturbed the tunnel: $E2E_LAST_STATUS"

e2e_expect PREPARE_IDENTITY_ROTATION PUBLIC_IDENTITY
expect_pending "prepare after abort"
new_key=$(jq -r .payload.publicKey <<<"$E2E_RESPONSE")
[ "$new_key" != "$abandoned_key" ] || e2e_fail "the aborted key pair came back"
e2e_expect PREPARE_IDENTITY_ROTATION PUBLIC_IDENTITY
[ "$(jq -r .payload.publicKey <<<"$E2E_RESPONSE")" = "$new_key" ] || e2e_fail "a second prepare made another key"

e2e_gateway_forget "$old_key"
e2e_gateway_allow "$new_key"
e2e_expect COMMIT_IDENTITY_ROTATION ACCEPTED
e2e_expect GET_PUBLIC_IDENTITY PUBLIC_IDENTITY
jq -e --arg new "$new_key" '.payload.publicKey == $new and .payload.keyVersion == 2' \
    <<<"$E2E_RESPONSE" >/dev/null || e2e_fail "after COMMIT the identity is $E2E_RESPONSE"

e2e_apply "$(e2e_config '.configVersion = 2')"
e2e_response_is ACCEPTED || e2e_fail "APPLY_CONFIG after the rotation answered $E2E_RESPONSE"
e2e_wait_state 20 CONNECTED
e2e_ping_gateway || e2e_fail "no echo reply with the new key"
[ "$(e2e_gateway_handshake_of "$new_key")" -gt 0 ] 2>/dev/null ||
    e2e_fail "the gateway has no handshake from the new key"
e2e_pass
