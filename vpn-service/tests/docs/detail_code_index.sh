#!/usr/bin/env bash
# docs/operations.md keeps one row per detail code, with its stable number, in the section
# "Every detail code: what it means and what to do": a code added to the code's list without
# a row fails here, and so does a row for a code that is gone or has another number.
set -u
root=${1:?the source tree}
codes=$(sed -n 's/^ *X(\([A-Z0-9_]*\), \([0-9]*\)).*/\1 \2/p' "$root/vpn-service/src/core/detail_code.hpp" | sort)
rows=$(sed -n '/^## Every detail code:/,/^## [^#]/p' "$root/docs/operations.md" |
    sed -n 's/^| `\([A-Z0-9_]*\)` (\([0-9]*\)) |.*/\1 \2/p' | sort)
[ "$(wc -l <<<"$codes")" -gt 100 ] || { echo "FAIL: the code list was not read"; exit 1; }
differences=$(diff <(echo "$codes") <(echo "$rows"))
if [ -n "$differences" ]; then
    echo "FAIL: the index and the code list differ (< a code without its row, > a row without its code):"
    echo "$differences"
    exit 1
fi
echo "PASS: $(wc -l <<<"$codes") detail codes, one row each"
