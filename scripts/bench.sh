#!/usr/bin/env bash
# Runs the benchmarks in bench/ against the installed package (set up like the tests).
#   scripts/bench.sh                        all benchmarks
#   scripts/bench.sh files                  only bench/files.py
#   scripts/bench.sh storage -- --full      arguments after -- go to each named benchmark
# bench/storage_*.py are the scenarios of bench/storage.py, not benchmarks of their own.
set -euo pipefail
cd "$(dirname "$0")/.."
names=()
while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do
  names+=("$1")
  shift
done
[ "$#" -gt 0 ] && shift  # the --
scripts/setup-env.sh
# Benchmark-only dependencies (other mappers to compare with, the plot): the "bench" extra.
mapfile -t bench_deps < <(.venv/bin/python -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))')
.venv/bin/python -m pip install --quiet --disable-pip-version-check "${bench_deps[@]}"
export PYTHONPATH=bench
if [ "${#names[@]}" -eq 0 ]; then
  mapfile -t names < <(ls bench/*.py | xargs -n1 basename | sed 's/\.py$//' | grep -v -e '^_' -e '^storage_')
fi
for name in "${names[@]}"; do
  echo "== bench/$name.py"
  .venv/bin/python "bench/$name.py" "$@"
  echo
done
