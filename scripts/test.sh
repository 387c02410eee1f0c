#!/usr/bin/env bash
# Sets up (see setup.sh), builds the sdist and the repaired wheel (see
# wheel.sh) and runs the whole test suite; tests/test_packaging.py installs
# that wheel into fresh environments.
#
# The container tests start a private Docker daemon, and the cluster tests a
# private SLURM cluster, once per session and stop them at the end; should
# pytest itself be killed, the reaps below stop what it left behind (daemons,
# containers, jobs, mounts and folders).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/wheel.sh
export TAVRO_DIST="$PWD/dist"
trap '.venv/bin/python scripts/slurm.py reap || true; .venv/bin/python scripts/dockerd.py reap || true' EXIT
.venv/bin/python -m pytest "$@"
