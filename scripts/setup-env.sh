#!/usr/bin/env bash
# Create (or reuse) .venv in the repo root with CPython 3.12 and install
# kestrum_models into it with its test and storage extras. Idempotent.
# Other scripts run this and then use .venv/bin/python.

# When sourced, run in a child shell so our shell options and exits stay ours.
if [[ "${BASH_SOURCE[0]}" != "$0" ]]; then
    bash "${BASH_SOURCE[0]}" "$@"
    return $?
fi

set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

log() { printf 'setup-env: %s\n' "$*" >&2; }
die() { printf 'setup-env: error: %s\n' "$*" >&2; exit 1; }

# Prints the real interpreter path if "$1" runs and is CPython 3.12.
probe_python() {
    "$1" -c 'import sys
if sys.implementation.name == "cpython" and sys.version_info[:2] == (3, 12):
    print(sys.executable)
else:
    raise SystemExit(1)' 2>/dev/null
}

find_python() {
    local candidate real
    local -a candidates=()
    # Every python3.12 on PATH, in PATH order (a pyenv shim that is not
    # activated fails the probe and is passed over).
    mapfile -t candidates < <(type -ap python3.12 || true)
    # Then pyenv's installed 3.12.x versions, newest first.
    local -a roots=()
    if command -v pyenv >/dev/null 2>&1; then
        roots+=("$(pyenv root 2>/dev/null || true)")
    fi
    roots+=("${PYENV_ROOT:-}" "$HOME/.pyenv")
    local root
    for root in "${roots[@]}"; do
        [[ -n "$root" ]] || continue
        mapfile -t -O "${#candidates[@]}" candidates < <(
            compgen -G "$root/versions/3.12*/bin/python3.12" | sort -rV || true
        )
    done
    for candidate in "${candidates[@]}"; do
        if real="$(probe_python "$candidate")"; then
            printf '%s\n' "$real"
            return 0
        fi
    done
    return 1
}

python="$(find_python)" ||
    die "kestrum_models needs CPython 3.12; none found: install it (e.g. pyenv install 3.12) and retry"

if [[ -e .venv ]] && ! probe_python .venv/bin/python >/dev/null; then
    log "existing .venv is not a working CPython 3.12 environment: recreating it"
    rm -rf .venv
fi
if [[ ! -e .venv ]]; then
    log "creating .venv with $python"
    "$python" -m venv .venv ||
        die "could not create .venv with $python (are its venv and ensurepip modules installed?)"
fi

pip=(.venv/bin/python -m pip --quiet --disable-pip-version-check)
"${pip[@]}" install --upgrade pip
log "building and installing kestrum_models[test,storage] into .venv"
"${pip[@]}" install ".[test,storage]"
log "ready: .venv/bin/python ($(.venv/bin/python -c 'import platform; print(platform.python_version())'))"
