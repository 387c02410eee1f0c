"""What the private daemons of the tests (scripts/dockerd.py, scripts/slurm.py)
share: process checks, free ports, stopping a server's process group, reaping
folders whose owner is gone and the small start/stop/reap command line."""

from __future__ import annotations

import glob
import os
import signal
import socket
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def gone(pid: int) -> bool:
    try:
        return os.waitpid(pid, os.WNOHANG)[0] == pid
    except ChildProcessError:  # not our child: started by a `start` command
        return not alive(pid)


def terminate(pid: int, grace: float) -> None:
    """SIGTERM to a server, then SIGKILL to whatever is left of its process group."""
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline and not gone(pid):
        time.sleep(0.1)
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and not gone(pid):
        time.sleep(0.1)


def reap(prefix: str, open_root: Callable, base: str | None = None) -> list[str]:
    """Stops what was left in `<base>/<prefix>*` by processes that no longer exist.

    `open_root(Path)` gives the fixture object, which has `_state()` and `stop()`.
    """
    done = []
    for root in glob.glob(os.path.join(base or tempfile.gettempdir(), prefix + "*")):
        d = open_root(Path(root))
        owner = d._state().get("owner")
        if owner == "manual" or (isinstance(owner, int) and alive(owner)):
            continue
        d.stop()
        done.append(root)
    return done


def main(argv: list, *, script: str, prefix: str, root_var: str, what: str, doc: str,
         start: Callable, exports: Callable, open_root: Callable) -> int:
    """`start` (prints shell exports), `stop [ROOT]` and `reap`."""
    cmd = argv[1] if len(argv) > 1 else ""
    if cmd == "start":
        d = start()
        d._update(owner="manual")  # outlives this command: only `stop` ends it
        print(exports(d))
        return 0
    if cmd == "stop":
        root = argv[2] if len(argv) > 2 else os.environ.get(root_var, "")
        if not root or not os.path.basename(root.rstrip("/")).startswith(prefix):
            print(f"usage: {script} stop ROOT (a folder made by `{script} start`)", file=sys.stderr)
            return 2
        open_root(Path(root)).stop()
        return 0
    if cmd == "reap":
        for root in reap(prefix, open_root):
            print(f"stopped leftover {what} at {root}")
        return 0
    print(doc, file=sys.stderr)
    return 2
