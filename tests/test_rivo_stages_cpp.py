"""RIVO.run's stages driven from C++ alone (cpp/rivo/tests/run_stages.cpp):
the core runs on plain values, with no Python in between."""

from __future__ import annotations

import subprocess

from helpers import REPO


def test_the_stages_run_without_python(tmp_path):
    # Built with the package (TAVRO_BUILD_TESTS), never installed.
    drivers = sorted(REPO.glob("build/*/rivo_run_stages"), key=lambda p: p.stat().st_mtime)
    assert drivers, "rivo_run_stages was not built (configure with TAVRO_BUILD_TESTS=ON)"
    r = subprocess.run([str(drivers[-1]), str(tmp_path)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "all stages passed\n"
