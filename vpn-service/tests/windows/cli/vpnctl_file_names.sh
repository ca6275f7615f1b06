#!/usr/bin/env bash
# vpnctl.exe under Wine opens the apply file by its UTF-16 name: a name with characters
# outside the ANSI code page is found and read (here: refused as broken JSON, so nothing is
# sent and no service is needed), not reported as missing.
set -u
vpnctl=$(dirname "$1")/vpnctl.exe
. "$(dirname "$0")/../../cli/lib/expect.sh"
[ -f "$vpnctl" ] || { echo "SKIP: vpnctl.exe is not built"; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file="$work/Zoë-日本.json"
printf '{"configVersion": 1,\n  "address": }' >"$file"
windows_name=$(winepath -w "$file")
expect apply_unicode_name '' "vpnctl: $windows_name: not valid JSON at line 2, column 14: syntax error while parsing value - unexpected '}'; expected '[', '{', or a literal; nothing was sent"$'\n' \
    2 wine "$vpnctl" apply "$windows_name"
[ "$cli_failures" -eq 0 ]
