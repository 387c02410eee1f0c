#!/usr/bin/env bash
# Builds the package (extension modules and the local rivo) with
# AddressSanitizer and UndefinedBehaviorSanitizer into its own virtual
# environment and runs the test suite with the sanitizer runtimes preloaded
# into Python. Meant to be run by hand from time to time, not in CI.
#
#   scripts/sanitize.sh                 # whole suite
#   scripts/sanitize.sh tests/test_scopelet.py -x
#
# Environment: SANITIZE_VENV (default build/venv-asan), PYTHON (default python3),
# CXX (default c++; the compiler that provides the sanitizer runtimes).
# Extra arguments go to pytest. Exits non-zero when a test fails or when any
# process (Python or a child such as rivo) wrote a sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${SANITIZE_VENV:-build/venv-asan}
PY=${PYTHON:-python3}
CXX=${CXX:-c++}
export CXX

runtime() {
  local lib
  lib=$("$CXX" -print-file-name="$1")
  if [ ! -e "$lib" ]; then
    echo "sanitize: $CXX has no $1 (install the compiler's sanitizer runtime)" >&2
    exit 2
  fi
  echo "$lib"
}
ASAN_LIB=$(runtime libasan.so)
UBSAN_LIB=$(runtime libubsan.so)

# Float-to-integer overflow is not part of GCC's "undefined" group; the
# libstdc++ assertions catch out-of-range operator[] and front() on empty
# containers, which stay inside allocated memory and so escape ASan.
SAN=address,undefined,float-cast-overflow
CXXFLAGS_SAN="-fsanitize=$SAN -fno-sanitize-recover=undefined,float-cast-overflow -fno-omit-frame-pointer -D_GLIBCXX_ASSERTIONS"
LDFLAGS_SAN="-fsanitize=$SAN"

if [ ! -x "$VENV/bin/python" ]; then
  "$PY" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q scikit-build-core nanobind

REPORTS=$(mktemp -d "${TMPDIR:-/tmp}/sanitize.XXXXXX")

# Python itself is not instrumented, so the runtimes must be loaded before
# anything else; the build needs them too, since stub generation imports the
# freshly built modules. CPython keeps memory until exit on purpose, so leak
# detection is off. Reports go to files: a child's stderr is often captured
# by the test that started it and would hide them.
export LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB${LD_PRELOAD:+:$LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:log_path=$REPORTS/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:log_path=$REPORTS/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

"$VENV/bin/python" -m pip install -q --no-build-isolation -e ".[test]" \
  -Cbuild-dir=build/asan \
  -Ccmake.build-type=Debug \
  -Ccmake.define.CMAKE_CXX_FLAGS="$CXXFLAGS_SAN" \
  -Ccmake.define.CMAKE_EXE_LINKER_FLAGS="$LDFLAGS_SAN" \
  -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="$LDFLAGS_SAN"

status=0
"$VENV/bin/python" -m pytest -p no:cacheprovider "${@:-tests}" || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
  echo "sanitize: sanitizer reports (kept in $REPORTS):" >&2
  for f in "$REPORTS"/*; do
    echo "==== $f" >&2
    cat "$f" >&2
  done
  [ "$status" -ne 0 ] || status=1
else
  rmdir "$REPORTS"
  echo "sanitize: no sanitizer reports"
fi
exit "$status"
