#!/usr/bin/env bash
# The whole test suite. Arguments are passed on to pytest; exits with its status.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/setup-env.sh
scripts/ensure-postgres.sh
exec .venv/bin/python -m pytest "$@"
