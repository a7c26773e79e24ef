#!/usr/bin/env bash
# Development build: compiles the named native modules (all when none are named) and
# writes them next to their Python packages under src/, so that
#   PYTHONPATH=src .venv/bin/python -m pytest ...
# runs against the working tree without installing. Each build directory is separate
# (build/dev-$KESTRUM_DEV_NAME), so several people can build different modules at once.
#   KESTRUM_DEV_NAME=mine scripts/dev-build.sh dunmere jorvale
set -euo pipefail
cd "$(dirname "$0")/.."
python=${KESTRUM_DEV_PYTHON:-$PWD/.venv/bin/python}
dir=build/dev-${KESTRUM_DEV_NAME:-default}
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE="${KESTRUM_BUILD_TYPE:-Release}" \
    -DKESTRUM_INPLACE=ON -DKESTRUM_SANITIZE="${KESTRUM_SANITIZE:-}" >/dev/null
fi
ninja -C "$dir" "$@"
