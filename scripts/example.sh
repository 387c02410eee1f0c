#!/usr/bin/env bash
# Sets up (see setup.sh) and runs the example pipeline with real tools.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python examples/pipeline.py "$@"
