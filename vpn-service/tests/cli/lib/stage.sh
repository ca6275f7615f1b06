# Sourced by the Linux command-line tests (not run).
# stage_build EXE DIR: copies the executable and the "vpn" folder beside it (when there is
# one) into DIR, a fresh folder of this account, and prints the copy's path. The executable
# refuses components that another account could replace, and a build folder may be one (a
# checkout in someone's home); a private copy under the temporary folder never is.
stage_build() {
    local exe=$1 dir=$2
    mkdir -p -m 0755 "$dir" || return 1
    cp "$exe" "$dir/vpn-service" || return 1
    if [ -d "$(dirname "$exe")/vpn" ]; then
        mkdir -m 0755 "$dir/vpn" && cp "$(dirname "$exe")"/vpn/*.so "$dir/vpn/" || return 1
        chmod 0644 "$dir"/vpn/*.so
    fi
    printf '%s\n' "$dir/vpn-service"
}

# scratch_copy EXE: sets $work, a scratch folder removed on exit, and $copy, a bare copy of
# EXE in it (no components beside it).
scratch_copy() {
    work=$(mktemp -d) || exit 1
    trap 'rm -rf "$work"' EXIT
    cp "$1" "$work/vpn-service" || exit 1
    copy="$work/vpn-service"
}
