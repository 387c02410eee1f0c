"""The local rivo's docker backend against the private daemon: a tool's
resources as container limits, the out-of-memory report, and no container
left behind however the run ends."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import time

import pytest
from helpers import REPO, needs_local_rivo

from tavro.helpers.rivo import RIVO

pytestmark = [pytest.mark.docker, needs_local_rivo("local rivo not built (toml++/CLI11 missing)")]

HOG = "a=x; while :; do a=$a$a; done"  # doubles a shell variable until memory runs out


@pytest.fixture
def bounded(docker_env, local_rivo_path, tmp_path, monkeypatch):
    """A project with bounded_shell (1 CPU, 64 MiB) on the docker backend."""
    reg = tmp_path / "registry"
    reg.mkdir()
    shutil.copy(REPO / "tests" / "data" / "registry" / "bounded_shell.toml", reg)
    monkeypatch.setenv("RIVO_REGISTRY", str(reg))
    for var in ("RIVO_BACKEND", "RIVO_CPUS", "RIVO_MEMORY", "RIVO_TIME", "PIPELINE_VOLUME_PATH"):
        monkeypatch.delenv(var, raising=False)
    proj = tmp_path / "proj"
    proj.mkdir()
    monkeypatch.chdir(proj)
    subprocess.run(["rivo", "--backend", "docker", "add", "bounded_shell"], check=True, capture_output=True)
    return proj


def containers(daemon) -> list[str]:
    return daemon.docker("ps", "-aq").stdout.split()


def wait_for(predicate, within: float) -> bool:
    deadline = time.monotonic() + within
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


def test_out_of_memory_is_reported_and_the_container_removed(bounded, docker_env):
    cp = subprocess.run(["rivo", "exec", "sh", "-c", HOG], capture_output=True, text=True, timeout=60)
    assert cp.returncode == 137
    assert cp.stderr.splitlines()[-1:] == [
        "rivo: out of memory: the tool was killed at its memory limit of 64 MiB"]
    assert sum("rivo:" in line for line in cp.stderr.splitlines()) == 1
    assert containers(docker_env) == []

    with pytest.raises(RuntimeError) as info:  # through the tool runner, an override
        RIVO()._run(["exec", "sh", "-c", HOG], cwd=str(bounded), env=dict(os.environ, RIVO_MEMORY="32 MiB"))
    assert "rivo exec sh -c" in str(info.value) and "failed (exit 137)" in str(info.value)
    assert "rivo: out of memory: the tool was killed at its memory limit of 32 MiB" in str(info.value)
    assert str(info.value).endswith('\nThe tool ran out of memory at its limit of 32 MiB; raise "memory" in its resources.')
    assert containers(docker_env) == []


@pytest.mark.parametrize("how", ["SIGTERM", "SIGKILL"])
def test_limits_reach_the_container_and_no_container_outlives_rivo(bounded, docker_env, how):
    p = subprocess.Popen(["rivo", "exec", "sh", "-c", "trap '' TERM; sleep 300"], start_new_session=True,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        assert wait_for(lambda: containers(docker_env), 30), "the container never started"
        (cid,) = containers(docker_env)
        host = json.loads(docker_env.docker("inspect", "-f", "{{json .HostConfig}}", cid).stdout)
        assert (host["NanoCpus"], host["Memory"], host["MemorySwap"]) == (10**9, 64 << 20, 64 << 20)
        os.kill(p.pid, getattr(signal, how))  # SIGKILL: rivo's watchdog removes it
        p.wait(timeout=15)
        assert wait_for(lambda: not containers(docker_env), 15), "the container outlived rivo"
    finally:
        p.kill()
        p.wait()
