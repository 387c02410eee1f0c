#!/usr/bin/env python3
"""A private Docker daemon for the tests, the example and the benchmarks.

It never touches a system daemon: `dockerd` runs on its own socket with its
data and exec roots, pidfile and logs in one temporary folder, with the vfs
storage driver, no bridge and no iptables rules. A local `docker-registry` on
127.0.0.1 serves as the daemon's registry mirror and holds a locally built
`hello-world`, so `docker pull hello-world` works without the internet.

    eval "$(python3 scripts/dockerd.py start)"   # prints export DOCKER_HOST=... TAVRO_DOCKERD_ROOT=...
    python3 scripts/dockerd.py stop [ROOT]        # default: $TAVRO_DOCKERD_ROOT
    python3 scripts/dockerd.py reap               # stop daemons whose owner process is gone

The client is Debian's `/usr/bin/docker` (same release as Debian's daemon),
not whatever `docker` comes first on PATH.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import fixture_daemons  # noqa: E402  (scripts/fixture_daemons.py)
import images  # noqa: E402  (scripts/images.py)

CLIENT = images.CLIENT
PREFIX = "tavro-dockerd-"


def cannot_run_reason() -> str | None:
    """Why a private daemon cannot run here, or None."""
    if os.geteuid() != 0:
        return "a private Docker daemon needs root"
    for exe in ("dockerd", "containerd", "docker-registry"):
        if not shutil.which(exe, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin"):
            return f"{exe} is not installed (Debian packages docker.io, docker-registry)"
    if not os.path.exists(CLIENT):
        return f"{CLIENT} is missing (Debian package docker.io)"
    if not os.path.isdir("/sys/fs/cgroup"):
        return "no cgroup file system"
    return None


class Daemon:
    """One private dockerd (and its registry mirror) rooted at ``root``."""

    def __init__(self, root: Path):
        self.root = Path(root)
        self.sock = self.root / "docker.sock"
        self.pidfile = self.root / "docker.pid"
        self.state = self.root / "state.json"

    # ---------------------------------------------------------------- helpers
    @property
    def host(self) -> str:
        return f"unix://{self.sock}"

    @property
    def env(self) -> dict:
        env = {k: v for k, v in os.environ.items() if not k.startswith("DOCKER_")}
        env["DOCKER_HOST"] = self.host
        return env

    def docker(self, *args: str, check: bool = True, timeout: float = 120, **kw):
        return subprocess.run([CLIENT, *args], env=self.env, capture_output=True, text=True,
                              check=check, timeout=timeout, **kw)

    def _state(self) -> dict:
        try:
            return json.loads(self.state.read_text())
        except (OSError, ValueError):
            return {}

    @property
    def registry_port(self) -> int:
        return int(self._state()["registry_port"])

    # -------------------------------------------------------------- start-up
    @classmethod
    def start(cls, base: str | None = None) -> "Daemon":
        reason = cannot_run_reason()
        if reason:
            raise RuntimeError(reason)
        d = cls(Path(tempfile.mkdtemp(prefix=PREFIX, dir=base)))
        d.state.write_text(json.dumps({"owner": os.getpid()}))
        try:
            port = d._start_registry()
            d._start_dockerd(port)
            d._seed_hello_world(port)
        except BaseException:
            d.stop()
            raise
        return d

    def _spawn(self, argv: list, log: str, env: dict | None = None) -> int:
        with open(self.root / log, "wb") as fh:
            p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=fh, stderr=fh,
                                 env=env, start_new_session=True, close_fds=True)
        return p.pid

    def _start_registry(self) -> int:
        port = fixture_daemons.free_port()
        store = self.root / "registry"
        store.mkdir()
        cfg = self.root / "registry.yml"
        cfg.write_text(f"version: 0.1\nlog:\n  level: error\nstorage:\n  filesystem:\n"
                       f"    rootdirectory: {store}\nhttp:\n  addr: 127.0.0.1:{port}\n")
        pid = self._spawn(["docker-registry", "serve", str(cfg)], "registry.log")
        self._update(registry_pid=pid, registry_port=port)
        self._wait(lambda: self._registry_up(port), 15, "registry.log")
        return port

    def _start_dockerd(self, port: int) -> None:
        cfg = self.root / "daemon.json"
        cfg.write_text("{}\n")  # never the machine's /etc/docker/daemon.json
        mirror = f"127.0.0.1:{port}"
        argv = ["dockerd", "--config-file", str(cfg), "-H", self.host,
                "--data-root", str(self.root / "data"), "--exec-root", str(self.root / "exec"),
                "--pidfile", str(self.pidfile), "--storage-driver", "vfs",
                "--iptables=false", "--ip6tables=false", "--bridge=none",
                "--registry-mirror", f"http://{mirror}", "--insecure-registry", mirror,
                "--log-level", "error"]
        env = {k: v for k, v in os.environ.items() if not k.startswith("DOCKER_")}
        env["PATH"] = env.get("PATH", "") + ":/usr/sbin:/sbin"
        # containerd writes stack dumps and the like to TMPDIR: keep them in the root
        (self.root / "tmp").mkdir()
        env["TMPDIR"] = str(self.root / "tmp")
        pid = self._spawn(argv, "dockerd.log", env)
        self._update(dockerd_pid=pid)
        self._wait(lambda: self.docker("info", check=False, timeout=10).returncode == 0, 60,
                   "dockerd.log")

    def _seed_hello_world(self, port: int) -> None:
        ref = f"127.0.0.1:{port}/library/hello-world:latest"
        images.build_hello_world(self, ref)
        self.docker("push", ref)
        self.docker("rmi", ref)

    def _registry_up(self, port: int) -> bool:
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/v2/", timeout=2) as r:
                return r.status == 200
        except OSError:
            return False

    def _wait(self, ready, seconds: float, log: str) -> None:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if ready():
                return
            time.sleep(0.2)
        tail = (self.root / log).read_text(errors="replace")[-800:]
        raise RuntimeError(f"{log.split('.')[0]} did not start within {seconds}s: {tail.strip()}")

    def _update(self, **kw) -> None:
        st = self._state()
        st.update(kw)
        self.state.write_text(json.dumps(st))

    # ------------------------------------------------------------- shut-down
    def stop(self) -> None:
        """Remove containers, stop both servers, unmount leftovers, delete the folder."""
        st = self._state()
        dpid = st.get("dockerd_pid")
        if dpid and fixture_daemons.alive(dpid) and self.sock.exists():
            try:
                ids = self.docker("ps", "-aq", check=False, timeout=30).stdout.split()
                if ids:
                    self.docker("rm", "-f", *ids, check=False, timeout=60)
            except subprocess.TimeoutExpired:
                pass
        for key in ("dockerd_pid", "registry_pid"):
            if st.get(key):
                _terminate(st[key])
        self._unmount_all()
        shutil.rmtree(self.root, ignore_errors=True)

    def _unmount_all(self) -> None:
        root = str(self.root.resolve())
        try:
            out = subprocess.run(["findmnt", "-rn", "-o", "TARGET"], capture_output=True,
                                 text=True, timeout=10).stdout
        except (OSError, subprocess.TimeoutExpired):
            return
        targets = [t for t in out.splitlines() if t == root or t.startswith(root + "/")]
        for t in sorted(targets, key=len, reverse=True):
            subprocess.run(["umount", "-l", t], capture_output=True, timeout=10)


def reap(base: str | None = None) -> list[str]:
    """Stops what processes that no longer exist left running."""
    return fixture_daemons.reap(PREFIX, Daemon, base)


def _terminate(pid: int, grace: float = 20) -> None:
    fixture_daemons.terminate(pid, grace)


def main(argv: list) -> int:
    return fixture_daemons.main(
        argv, script="dockerd.py", prefix=PREFIX, root_var="TAVRO_DOCKERD_ROOT", what="daemon", doc=__doc__,
        start=Daemon.start, exports=lambda d: f"export DOCKER_HOST={d.host}\nexport TAVRO_DOCKERD_ROOT={d.root}", open_root=Daemon)


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
