#!/usr/bin/env bash
# Create (or reuse) .venv in the repo root with CPython 3.12 and install
# kestrum_models into it with its test and storage extras. Idempotent: a run
# with nothing changed installs nothing, and a rebuild compiles only what changed
# (full build output: build/setup-env.log). Other scripts run this and then use
# .venv/bin/python.

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
created=
if [[ ! -e .venv ]]; then
    created=1
    log "creating .venv with $python"
    "$python" -m venv .venv ||
        die "could not create .venv with $python (are its venv and ensurepip modules installed?)"
fi

ready() {
    log "ready: .venv/bin/python ($(.venv/bin/python -c 'import platform; print(platform.python_version())'))"
}

pip=(.venv/bin/python -m pip --quiet --disable-pip-version-check)
if [[ -n "$created" ]]; then
    "${pip[@]}" install --upgrade pip
fi

# Everything the installed package is made of: the files of the native modules and
# of the Python packages (by path, size and modification time, as make would judge
# them; Python's byte-code caches aside), the project metadata, the ignore rules
# that decide which files are packaged, this script, the extras installed, the
# interpreter and the environment variables the build reads.
# When it is what the last successful install recorded, there is nothing to do.
extras="test,storage"
fingerprint() {
    {
        find src common CMakeLists.txt pyproject.toml README.md .gitignore scripts/setup-env.sh \
            -name __pycache__ -prune -o -type f -printf '%p %s %T@\n' | LC_ALL=C sort
        printf 'extras %s\npython %s\n' "$extras" "$(readlink -f .venv/bin/python)"
        env | grep -E '^(KESTRUM_SANITIZE|SKBUILD_[A-Z_]*|CMAKE_ARGS|CXX|CXXFLAGS|CPPFLAGS|LDFLAGS)=' | LC_ALL=C sort || true
    } | sha256sum | cut -d' ' -f1
}
stamp=.venv/kestrum-install.stamp
inputs="$(fingerprint)"
if [[ -f "$stamp" && "$(<"$stamp")" == "$inputs" ]] &&
    compgen -G ".venv/lib/python3.12/site-packages/kestrum_models-*.dist-info/RECORD" >/dev/null; then
    log "kestrum_models[$extras] in .venv is up to date"
    ready
    exit 0
fi
rm -f "$stamp"

# The build runs in .venv itself rather than in a fresh isolated environment per
# run: an isolated environment lives at a new temporary path each time, which makes
# CMake reconfigure and recompile everything. With the build tools installed once
# into .venv and the fixed build directory set in pyproject.toml, a rebuild compiles
# only what changed. The build requirements are the ones pip would install for an
# isolated build: pyproject.toml's static list, then what the backend asks for
# (CMake and Ninja unless usable ones are already on PATH).
build_requirements() {
    .venv/bin/python - "$1" <<'EOF'
import importlib, importlib.metadata as metadata, sys, tomllib

with open("pyproject.toml", "rb") as file:
    system = tomllib.load(file)["build-system"]
if sys.argv[1] == "static":
    wanted = system["requires"]
else:
    hook = getattr(importlib.import_module(system["build-backend"]), "get_requires_for_build_wheel", None)
    wanted = hook() if hook else []
try:
    from packaging.requirements import Requirement
except ImportError:  # not installed yet: everything is missing
    Requirement = None

def satisfied(text):
    if Requirement is None:
        return False
    requirement = Requirement(text)
    if requirement.marker is not None and not requirement.marker.evaluate():
        return True
    try:
        version = metadata.version(requirement.name)
    except metadata.PackageNotFoundError:
        return False
    return requirement.specifier.contains(version, prereleases=True)

print("\n".join(text for text in wanted if not satisfied(text)))
EOF
}
for kind in static backend; do
    missing="$(build_requirements "$kind")"
    if [[ -n "$missing" ]]; then
        mapfile -t missing <<<"$missing"
        log "installing build requirements into .venv: ${missing[*]}"
        "${pip[@]}" install "${missing[@]}"
    fi
done

log "building and installing kestrum_models[$extras] into .venv"
mkdir -p build
build_log=build/setup-env.log
# The full output goes to the log; the terminal shows one line per compile and
# link step and any compiler diagnostics.
set +e
.venv/bin/python -m pip --verbose --disable-pip-version-check install --no-build-isolation ".[$extras]" 2>&1 |
    tee "$build_log" |
    sed -n -u -E 's/^[[:space:]]*(\[[1-9][0-9]*\/[0-9]+\] .*|.*(warning|error): .*)$/  \1/p' >&2
status=${PIPESTATUS[0]}
set -e
if (( status != 0 )); then
    tail -n 30 "$build_log" >&2
    die "building or installing kestrum_models failed (exit status $status); full output in $build_log"
fi
printf '%s\n' "$inputs" >"$stamp"
ready
