#!/usr/bin/env bash
# Installs what is missing on a fresh Debian machine and builds the package
# into a virtual environment at .venv. Safe to run again: it only does what
# is still missing (and rebuilds incrementally).
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian packages: the local rivo command's TOML, command-line, JSON and
# crypto libraries, the real tools that the example pipeline and end-to-end
# tests run, the Docker engine and registry behind the container tests
# (scripts/dockerd.py starts a private daemon; nothing uses the machine's own),
# and SLURM with MUNGE behind the cluster tests (scripts/slurm.py starts a
# private one-node cluster; installing the packages starts no daemon).
DEBS=(libtomlplusplus-dev libcli11-dev nlohmann-json3-dev libssl-dev minimap2 samtools seqtk
      docker.io docker-registry slurmctld slurmd slurm-client munge)
missing=()
for p in "${DEBS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "setup: missing Debian packages (${missing[*]}); install them as root (apt-get install ${missing[*]})" >&2
    exit 1
  fi
fi

PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$PY" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip >/dev/null
# The build requirements live in the venv and the build runs without
# isolation, so the build folder stays valid and later runs rebuild only what
# changed.
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4"
.venv/bin/python -m pip install -q --no-build-isolation -e ".[test]"
