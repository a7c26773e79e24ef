#!/usr/bin/env bash
# Make sure the PostgreSQL server programs are installed (Debian's
# `postgresql` package). Does not start the distribution's cluster: the tests
# run a throwaway server of their own. Idempotent; instant when installed.
set -euo pipefail

log() { printf 'ensure-postgres: %s\n' "$*" >&2; }
die() { printf 'ensure-postgres: error: %s\n' "$*" >&2; exit 1; }

if compgen -G '/usr/lib/postgresql/*/bin/pg_ctl' >/dev/null; then
    exit 0
fi

command -v apt-get >/dev/null 2>&1 ||
    die "PostgreSQL server programs not found and apt-get is not available: install PostgreSQL 15+ server binaries under /usr/lib/postgresql/<version>/bin"

if [[ "$(id -u)" -eq 0 ]]; then
    as_root() { "$@"; }
elif command -v sudo >/dev/null 2>&1; then
    as_root() { sudo "$@"; }
else
    die "PostgreSQL is not installed and installing it needs root: run this script as root or install sudo (or run: apt-get install postgresql)"
fi

# Keep the package from starting its cluster service while it is installed
# (policy-rc.d is the standard Debian switch for that). An existing
# policy-rc.d is left as it is.
policy=/usr/sbin/policy-rc.d
marker='# kestrum: temporary, removed by scripts/ensure-postgres.sh'
aptlog="$(mktemp)"
cleanup() {
    rm -f "$aptlog"
    if [[ -f "$policy" ]] && grep -qxF "$marker" "$policy" 2>/dev/null; then
        as_root rm -f "$policy"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
if [[ ! -e "$policy" ]]; then
    printf '#!/bin/sh\n%s\nexit 101\n' "$marker" | as_root tee "$policy" >/dev/null
    as_root chmod 755 "$policy"
fi

run_apt() {
    if ! as_root env DEBIAN_FRONTEND=noninteractive "$@" >"$aptlog" 2>&1; then
        cat "$aptlog" >&2
        die "'$*' failed"
    fi
}

log "installing the PostgreSQL server (apt-get install postgresql)..."
run_apt apt-get update
run_apt apt-get install -y --no-install-recommends postgresql

compgen -G '/usr/lib/postgresql/*/bin/pg_ctl' >/dev/null ||
    die "the postgresql package was installed but no /usr/lib/postgresql/*/bin/pg_ctl exists"
log "installed: $(compgen -G '/usr/lib/postgresql/*/bin/pg_ctl' | sort -V | tail -n 1)"
