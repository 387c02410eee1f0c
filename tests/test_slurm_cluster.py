"""The private SLURM cluster of scripts/slurm.py: it runs jobs on free ports of
its own, and stopping it (or reaping it after its owner died) leaves no
daemon, job step or folder behind."""

from __future__ import annotations

import glob
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import SCRIPTS

pytestmark = pytest.mark.slurm

sys.path.insert(0, str(SCRIPTS))
import slurm  # noqa: E402


def _processes_mentioning(text: str) -> list[str]:
    found = []
    for d in glob.glob("/proc/[0-9]*"):
        try:
            cmd = Path(d, "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
            fds = [os.readlink(f"{d}/fd/{fd}") for fd in os.listdir(f"{d}/fd")]
        except OSError:
            continue
        if text in cmd or any(text in f for f in fds):
            found.append(f"{os.path.basename(d)}: {cmd.strip()}")
    return found


def test_session_cluster_runs_a_job_in_the_callers_folder(slurm_env, tmp_path):
    conf = slurm_env.conf.read_text()
    ports = [int(line.split("=")[1]) for line in conf.splitlines() if line.split("=")[0] in
             ("SlurmctldPort", "SlurmdPort")]
    assert len(ports) == 2 and not {6817, 6818} & set(ports)
    out = subprocess.run(["srun", "-n1", "pwd"], cwd=tmp_path, capture_output=True, text=True,
                         timeout=60, check=True).stdout
    assert out.strip() == str(tmp_path)


@pytest.mark.parametrize("how", ["stop", "reap"])
def test_a_stopped_cluster_leaves_nothing(slurm_cluster, tmp_path, how):
    if slurm.cannot_run_reason():
        pytest.skip(slurm.cannot_run_reason())
    c = slurm.Cluster.start(str(tmp_path))
    marker = f"tavro-leftover-{how}-{os.getpid()}"
    srun = subprocess.Popen(["srun", "-n1", "sh", "-c", "sleep 300; :", marker], env=c.env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        deadline = time.monotonic() + 30
        while not any(state == "RUNNING" for _, _, state in c.jobs()) and time.monotonic() < deadline:
            time.sleep(0.2)
        assert _processes_mentioning(marker), "the job did not start"
        if how == "stop":
            c.stop()
            srun.wait(timeout=60)  # the job ended, and with it the srun waiting for it
        else:
            # The owner died without stopping it: the slurmd went down hard
            # and the job step outlived it.
            os.kill(c._state()["slurmd_pid"], 9)
            state = c._state()
            state["owner"] = 2 ** 22 + 1  # above pid_max's default: no such process
            c.state.write_text(json.dumps(state))
            assert slurm.reap(str(tmp_path)) == [str(c.root)]
    finally:
        # Our own srun (and the helper it forks), waiting for a cluster that is gone.
        try:
            os.killpg(srun.pid, 9)
        except ProcessLookupError:
            pass
        srun.wait()
        c.stop()
    assert not c.root.exists()
    assert _processes_mentioning(str(c.root)) == []
    assert _processes_mentioning(marker) == []
