#!/usr/bin/env python3
"""A private one-node SLURM cluster for the tests, the benchmarks and trying things out.

It never touches the machine's own configuration: MUNGE, `slurmctld` and
`slurmd` run from one temporary folder with a key, a `slurm.conf`, state,
spool, pid and log files of their own, on free ports far from SLURM's
defaults (6817/6818), so a system cluster is never reached. Clients find it
through SLURM_CONF.

    eval "$(python3 scripts/slurm.py start)"   # prints export SLURM_CONF=... TAVRO_SLURM_ROOT=...
    python3 scripts/slurm.py stop [ROOT]        # default: $TAVRO_SLURM_ROOT
    python3 scripts/slurm.py reap               # stop clusters whose owner process is gone

Nothing is installed here: the Debian packages slurmctld, slurmd,
slurm-client and munge must be present (scripts/setup.sh installs them).
"""

from __future__ import annotations

import glob
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import fixture_daemons  # noqa: E402  (scripts/fixture_daemons.py)

PREFIX = "tavro-slurm-"
SBIN = "/usr/sbin:/sbin"
DAEMONS = ("munged", "mungekey", "slurmctld", "slurmd")
CLIENTS = ("srun", "squeue", "scancel", "scontrol", "sinfo")


def _which(exe: str) -> str | None:
    return shutil.which(exe, path=os.environ.get("PATH", "") + os.pathsep + SBIN)


def cannot_run_reason() -> str | None:
    """Why a private cluster cannot run here, or None."""
    if os.geteuid() != 0:
        return "a private SLURM cluster needs root (slurmd starts jobs as their user)"
    for exe in DAEMONS + CLIENTS:
        if not _which(exe):
            return f"{exe} is not installed (Debian packages slurmctld, slurmd, slurm-client, munge)"
    return None


def _memory_mib() -> int:
    with open("/proc/meminfo") as fh:
        for line in fh:
            if line.startswith("MemTotal:"):
                return int(line.split()[1]) // 1024
    return 2048


def client_env(conf: Path | str, base: dict | None = None) -> dict:
    """``base`` (default os.environ) without SLURM_* variables, with SLURM_CONF.

    An inherited SLURM_JOB_ID or the like would make srun think it already
    runs inside an allocation of some other cluster.
    """
    env = {k: v for k, v in (os.environ if base is None else base).items() if not k.startswith("SLURM_")}
    env["SLURM_CONF"] = str(conf)
    return env


class Cluster:
    """One private cluster (munged, slurmctld, slurmd) rooted at ``root``."""

    def __init__(self, root: Path):
        self.root = Path(root)
        self.conf = self.root / "slurm.conf"
        self.state = self.root / "state.json"
        self.node = socket.gethostname().split(".")[0] or "localhost"

    @property
    def env(self) -> dict:
        return client_env(self.conf)

    def run(self, *argv: str, check: bool = True, timeout: float = 30, **kw):
        return subprocess.run(list(argv), env=self.env, capture_output=True, text=True, check=check,
                              timeout=timeout, **kw)

    def _state(self) -> dict:
        try:
            return json.loads(self.state.read_text())
        except (OSError, ValueError):
            return {}

    def _update(self, **kw) -> None:
        st = self._state()
        st.update(kw)
        self.state.write_text(json.dumps(st))

    @property
    def cpus(self) -> int:
        return int(self._state().get("cpus", 1))

    @property
    def memory_mib(self) -> int:
        return int(self._state().get("memory_mib", 0))

    # -------------------------------------------------------------- start-up
    @classmethod
    def start(cls, base: str | None = None) -> "Cluster":
        reason = cannot_run_reason()
        if reason:
            raise RuntimeError(reason)
        c = cls(Path(tempfile.mkdtemp(prefix=PREFIX, dir=base)))
        c.root.chmod(0o755)  # jobs of other users read the configuration
        c._update(owner=os.getpid())
        try:
            c._write_config()
            c._start_munge()
            c._start_slurm()
        except BaseException:
            c.stop()
            raise
        return c

    def _write_config(self) -> None:
        r = self.root
        for d in ("state", "spool"):
            (r / d).mkdir()
        cpus = os.cpu_count() or 1
        # Below the physical memory, or slurmd reports the node invalid.
        memory = max(256, _memory_mib() * 3 // 4)
        ctld_port, slurmd_port = fixture_daemons.free_port(), fixture_daemons.free_port()
        while slurmd_port == ctld_port:
            slurmd_port = fixture_daemons.free_port()
        self._update(cpus=cpus, memory_mib=memory, ports=[ctld_port, slurmd_port])
        user = pwd.getpwuid(os.geteuid()).pw_name
        self.conf.write_text(f"""\
ClusterName=tavrotest
SlurmctldHost={self.node}(127.0.0.1)
SlurmUser={user}
SlurmdUser=root
SlurmctldPort={ctld_port}
SlurmdPort={slurmd_port}
AuthType=auth/munge
AuthInfo=socket={r}/munge.socket
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
# Without a default a job without --mem takes the whole node's memory and
# jobs could never share the node.
DefMemPerCPU=256
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
MailProg=/bin/true
StateSaveLocation={r}/state
SlurmdSpoolDir={r}/spool
SlurmctldPidFile={r}/slurmctld.pid
SlurmdPidFile={r}/slurmd.pid
SlurmctldLogFile={r}/slurmctld.log
SlurmdLogFile={r}/slurmd.log
# A queued job starts at the scheduler's next pass: look every second rather
# than SLURM's default minute (passes woken by events come 1-3 s apart here).
SchedulerParameters=sched_interval=1
MpiDefault=none
ReturnToService=2
KillWait=15
NodeName={self.node} NodeAddr=127.0.0.1 CPUs={cpus} RealMemory={memory} State=UNKNOWN
PartitionName=debug Nodes=ALL Default=YES MaxTime=INFINITE State=UP
""")

    def _spawn(self, argv: list, log: str) -> int:
        env = {k: v for k, v in os.environ.items() if not k.startswith("SLURM_")}
        env["PATH"] = env.get("PATH", "") + os.pathsep + SBIN
        with open(self.root / log, "wb") as fh:
            p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=fh, stderr=fh, env=env,
                                 cwd=self.root, start_new_session=True, close_fds=True)
        return p.pid

    def _start_munge(self) -> None:
        r = self.root
        key = r / "munge.key"
        subprocess.run([_which("mungekey"), "-c", "-k", str(key), "-f"], check=True,
                       capture_output=True, timeout=30)
        key.chmod(0o400)
        pid = self._spawn([_which("munged"), "-F", f"--key-file={key}", f"--socket={r}/munge.socket",
                           f"--pid-file={r}/munged.pid", f"--log-file={r}/munged.log",
                           f"--seed-file={r}/munge.seed", "-f"], "munged.out")
        self._update(munged_pid=pid)
        self._wait(lambda: (r / "munge.socket").exists(), 15, "munged.log")

    def _start_slurm(self) -> None:
        # In the foreground (-D): the pids are ours, and so is the clean-up.
        ctld = self._spawn([_which("slurmctld"), "-D", "-f", str(self.conf)], "slurmctld.out")
        self._update(slurmctld_pid=ctld)
        slurmd = self._spawn([_which("slurmd"), "-D", "-N", self.node, "-f", str(self.conf)],
                             "slurmd.out")
        self._update(slurmd_pid=slurmd)
        self._wait(self._node_idle, 60, "slurmd.log")

    def _node_idle(self) -> bool:
        for key in ("munged_pid", "slurmctld_pid", "slurmd_pid"):
            pid = self._state().get(key)
            if not pid or fixture_daemons.gone(pid):
                log = {"munged_pid": "munged.log"}.get(key, key.split("_")[0] + ".log")
                raise RuntimeError(f"{key.split('_')[0]} ended during start-up: {self._tail(log)}")
        try:
            p = self.run("sinfo", "-h", "-o", "%t", check=False, timeout=10)
        except subprocess.TimeoutExpired:
            return False
        return p.returncode == 0 and p.stdout.strip() == "idle"

    def _tail(self, log: str) -> str:
        for name in (log, log.replace(".log", ".out")):
            try:
                return (self.root / name).read_text(errors="replace")[-800:].strip()
            except OSError:
                continue
        return ""

    def _wait(self, ready, seconds: float, log: str) -> None:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if ready():
                return
            time.sleep(0.2)
        raise RuntimeError(f"{log.split('.')[0]} did not start within {seconds}s: {self._tail(log)}")

    # ------------------------------------------------------------ jobs
    def jobs(self, *, every_state: bool = False) -> list[tuple[str, str, str]]:
        """(id, name, state) of the cluster's jobs: pending, running and
        completing ones, or with ``every_state`` also those that ended."""
        argv = ["squeue", "-h", "-o", "%i|%j|%T"] + (["-t", "all"] if every_state else [])
        out = self.run(*argv, check=False, timeout=15).stdout
        return [tuple(line.split("|", 2)) for line in out.splitlines() if line.count("|") == 2]

    def cancel_all(self, wait: float = 60) -> None:
        """Cancels every job and waits until none is left pending, running or completing."""
        ids = [j[0] for j in self.jobs()]
        if ids:
            self.run("scancel", *ids, check=False)
        deadline = time.monotonic() + wait
        while self.jobs() and time.monotonic() < deadline:
            time.sleep(0.2)

    # ------------------------------------------------------------- shut-down
    def stop(self) -> None:
        """Cancels the jobs, stops the daemons, ends leftover job steps, deletes the folder."""
        st = self._state()
        # Jobs end through slurmd: without it they would stay "completing".
        if all(st.get(k) and not fixture_daemons.gone(st[k]) for k in ("slurmctld_pid", "slurmd_pid")) and self.conf.exists():
            try:
                self.cancel_all()
            except (OSError, subprocess.SubprocessError):
                pass
        for key in ("slurmd_pid", "slurmctld_pid", "munged_pid"):
            if st.get(key):
                _terminate(st[key])
        self._end_leftover_steps()
        shutil.rmtree(self.root, ignore_errors=True)

    def _end_leftover_steps(self) -> None:
        # A job step's slurmstepd leaves slurmd's process tree and keeps its
        # log open: its session (the stepd and the tasks it started) goes.
        log = str(self.root / "slurmd.log")
        for pid_dir in glob.glob("/proc/[0-9]*"):
            try:
                fds = os.listdir(pid_dir + "/fd")
            except OSError:
                continue
            for fd in fds:
                try:
                    target = os.readlink(f"{pid_dir}/fd/{fd}")
                except OSError:
                    continue
                if target == log:
                    _kill_session(int(os.path.basename(pid_dir)))
                    break


def _kill_session(pid: int) -> None:
    try:
        sid = os.getsid(pid)
    except ProcessLookupError:
        return
    for pid_dir in glob.glob("/proc/[0-9]*"):
        p = int(os.path.basename(pid_dir))
        try:
            if os.getsid(p) == sid:
                os.kill(p, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            continue


def reap(base: str | None = None) -> list[str]:
    """Stops what processes that no longer exist left running."""
    return fixture_daemons.reap(PREFIX, Cluster, base)


def _terminate(pid: int, grace: float = 15) -> None:
    fixture_daemons.terminate(pid, grace)


def main(argv: list) -> int:
    return fixture_daemons.main(
        argv, script="slurm.py", prefix=PREFIX, root_var="TAVRO_SLURM_ROOT", what="cluster", doc=__doc__,
        start=Cluster.start, exports=lambda d: f"export SLURM_CONF={d.conf}\nexport TAVRO_SLURM_ROOT={d.root}", open_root=Cluster)


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
