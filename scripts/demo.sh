#!/usr/bin/env bash
# Build and install the project into .venv, then run the demo.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/setup-env.sh
exec .venv/bin/python -m kestrum_models.demo "$@"
