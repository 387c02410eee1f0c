"""Several worker processes on one volume: project changes through the local
rivo, RIVO's prune under the same project lock, concurrent image archive saves.
Real processes throughout: the locks are between processes."""

from __future__ import annotations

import fcntl
import os
import subprocess
import sys
import textwrap
import time

import pytest
from helpers import LOCAL_RIVO, link_local_rivo, tomllib

LOCK_NAME = ".rivo-project.lock"


@pytest.fixture
def volume(tmp_path, bindir, isolated_tmp, monkeypatch):
    """A shared volume, a registry of small tools, the local rivo and a docker that fails."""
    if not LOCAL_RIVO.exists():
        pytest.skip("local rivo not built")
    link_local_rivo(bindir, docker="#!/bin/sh\nexit 1\n")
    reg = tmp_path / "registry"
    reg.mkdir()
    for i in range(6):
        for k in range(3):
            (reg / f"t{i}_{k}.toml").write_text(f'binaries = ["bin{i}_{k}"]\nargs_template = "{{x}}"\n')
    vol = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    monkeypatch.setenv("RIVO_REGISTRY", str(reg))
    monkeypatch.setenv("RIVO_BACKEND", "local")
    return vol


def python(code: str, *args: str, **kw) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *args], text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


ADD_WORKER = """
    import sys, time
    from tavro.helpers.rivo import RIVO
    start = float(sys.argv[1])
    time.sleep(max(0.0, start - time.time()))
    r = RIVO(backend="local")
    for tool in sys.argv[2:]:
        r.add(tool)
"""


def test_workers_adding_distinct_tools_keep_every_tool(volume):
    start = time.time() + 1.0
    workers = [python(ADD_WORKER, str(start), *(f"t{i}_{k}" for k in range(3))) for i in range(6)]
    results = [(w.wait(timeout=120), w.stderr.read()) for w in workers]
    assert [rc for rc, _ in results] == [0] * 6, results
    home = volume / ".rivo_home"
    everything = {f"t{i}_{k}" for i in range(6) for k in range(3)}
    assert set(tomllib.loads((home / "rivo.toml").read_text())["tools"]) == everything
    assert set(tomllib.loads((home / "rivo.lock").read_text())["tools"]) == everything
    assert {p.name for p in (home / ".rivo" / "bin").iterdir()} == {f"bin{t[1:]}" for t in everything}


PRUNE_WORKER = """
    import logging, sys
    logging.basicConfig(level=logging.DEBUG, stream=sys.stderr, format="%(levelname)s %(message)s")
    from tavro.helpers.rivo import RIVO
    r = RIVO(backend="local")
    r._session_tools = ["t0_0"]
    r._prune_lockfile_to_session()
"""


def test_rivo_and_the_prune_wait_for_the_project_lock(volume):
    home = volume / ".rivo_home"
    add = python(ADD_WORKER, "0", "t0_0", "t1_0")
    assert add.wait(timeout=60) == 0, add.stderr.read()
    before = {n: (home / n).read_bytes() for n in ("rivo.toml", "rivo.lock")}

    with open(home / LOCK_NAME, "a+") as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)
        rivo = subprocess.Popen(["rivo", "add", "t2_0"], cwd=home, text=True, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env={**os.environ, "RIVO_DEBUG": "1"})
        prune = python(PRUNE_WORKER)
        time.sleep(1.8)
        # both wait, nothing written, and the wait is said at debug level
        assert rivo.poll() is None and prune.poll() is None
        assert {n: (home / n).read_bytes() for n in before} == before
        fcntl.flock(holder, fcntl.LOCK_UN)
        rivo_out, rivo_err = rivo.communicate(timeout=60)
        _, prune_err = prune.communicate(timeout=60)
    assert rivo.returncode == 0 and prune.returncode == 0, (rivo_err, prune_err)
    assert f"rivo: debug: waiting for the project lock {home / LOCK_NAME}" in rivo_err
    assert f"DEBUG Waiting for the rivo project lock {home / LOCK_NAME}" in prune_err
    assert "Pruned stale tools from rivo.toml" in prune_err
    for name in before:  # whichever went first, each file is whole
        assert "t0_0" in tomllib.loads((home / name).read_text())["tools"]


SLOW_DOCKER = """#!{python}
import os, sys, time
args = sys.argv[1:]
if args[:1] == ["save"]:
    with open(args[args.index("-o") + 1], "w") as fh:
        fh.write(f"BEGIN {{os.getpid()}}\\n")
        for i in range(25):
            fh.write(f"{{os.getpid()}} {{i}}\\n")
            fh.flush()
            time.sleep(0.02)
        fh.write(f"END {{os.getpid()}}\\n")
"""

SAVE_WORKER = """
    import sys, time
    from tavro.helpers.rivo import RIVO
    time.sleep(max(0.0, float(sys.argv[1]) - time.time()))
    RIVO()._save_image_to_cache("x")
"""


def test_concurrent_archive_saves_end_with_one_complete_archive(tmp_path, bindir, isolated_tmp, monkeypatch):
    (bindir / "docker").write_text(SLOW_DOCKER.format(python=sys.executable))
    (bindir / "docker").chmod(0o755)
    vol = tmp_path / "vol"
    (vol / ".rivo_home").mkdir(parents=True)
    (vol / ".rivo_home" / "rivo.lock").write_text('[tools.x]\nimage_reference = "reg/x:1"\n')
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    start = str(time.time() + 1.0)
    savers = [python(SAVE_WORKER, start) for _ in range(4)]
    errors = [(s.wait(timeout=60), s.stderr.read()) for s in savers]
    assert errors == [(0, "")] * 4
    cache = vol / ".image_cache"
    assert [p.name for p in cache.iterdir()] == ["x.tar"]
    lines = (cache / "x.tar").read_text().splitlines()
    pid = lines[0].split()[1]
    assert lines == [f"BEGIN {pid}", *(f"{pid} {i}" for i in range(25)), f"END {pid}"]
