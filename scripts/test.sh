#!/usr/bin/env bash
# Sets up (see setup.sh), builds the sdist and the repaired wheel (see
# wheel.sh) and runs the whole test suite; tests/test_packaging.py installs
# that wheel into fresh environments.
#
# The container tests start a private Docker daemon once per session and stop
# it at the end; should pytest itself be killed, the reap below stops what it
# left behind (its daemon, containers, mounts and folders).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/wheel.sh
export TAVRO_DIST="$PWD/dist"
trap '.venv/bin/python scripts/dockerd.py reap || true' EXIT
.venv/bin/python -m pytest "$@"
