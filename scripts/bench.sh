#!/usr/bin/env bash
# Runs the benchmarks in bench/ against the installed package (set up like the tests).
#   scripts/bench.sh              all benchmarks
#   scripts/bench.sh files        only bench/files.py
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-env.sh
# Benchmark-only dependencies (other mappers to compare with, the plot): the "bench" extra.
mapfile -t bench_deps < <(.venv/bin/python -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))')
.venv/bin/python -m pip install --quiet --disable-pip-version-check "${bench_deps[@]}"
export PYTHONPATH=bench
if [ "$#" -eq 0 ]; then
  set -- $(ls bench/*.py | xargs -n1 basename | sed 's/\.py$//' | grep -v '^_')
fi
for name in "$@"; do
  echo "== bench/$name.py"
  .venv/bin/python "bench/$name.py"
  echo
done
