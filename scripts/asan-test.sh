#!/usr/bin/env bash
# Runs the test suite against an AddressSanitizer and UndefinedBehaviorSanitizer
# build of the native modules; every finding of either aborts the run.
# The build goes to its own environment (.venv-asan) and build directory, so the
# regular .venv is untouched. Arguments are passed on to pytest.
#   scripts/asan-test.sh            whole suite
#   scripts/asan-test.sh tests/native -x
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-env.sh  # finds CPython 3.12 and checks the regular build first
python=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
if [ ! -x .venv-asan/bin/python ]; then
  "$python" -m venv .venv-asan
  .venv-asan/bin/python -m pip install --quiet --disable-pip-version-check --upgrade pip
fi
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}  # a shared machine: two build jobs
KESTRUM_SANITIZE=address,undefined .venv-asan/bin/python -m pip install --quiet --disable-pip-version-check \
  -C build-dir=build/asan ".[test,storage]"
scripts/ensure-postgres.sh
# The interpreter itself is not instrumented: load the sanitizer runtime first, and
# the C++ runtime with it (the sanitizer intercepts exception throwing and must find
# the real one when it starts). Leak
# detection at exit is off (the interpreter keeps objects alive until exit on
# purpose); the tests check reference counts and memory growth themselves.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so.6)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc  # let the sanitizer see every object allocation
exec .venv-asan/bin/python -m pytest -p no:cacheprovider "$@"
