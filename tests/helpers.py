"""Pieces several test files share: the built local rivo, small real data,
the example pipeline, a private mount namespace and a GIL probe."""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

try:
    import tomllib
except ImportError:  # Python 3.10
    import tomli as tomllib

import tavro.helpers.rivo as rivo_mod

__all__ = ["tomllib"]

REPO = Path(__file__).resolve().parent.parent
LOCAL_RIVO = Path(rivo_mod.__file__).parent / "_bin" / "rivo"
API_KEYS = ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY")


def tool(bindir: Path, name: str, body: str) -> Path:
    """A shell-script tool called ``name`` in ``bindir`` (``set -e``, body dedented)."""
    p = bindir / name
    p.write_text("#!/bin/sh\nset -e\n" + textwrap.dedent(body))
    p.chmod(0o755)
    return p


def needs_local_rivo(reason: str = "local rivo not built"):
    return pytest.mark.skipif(not LOCAL_RIVO.exists(), reason=reason)


def link_local_rivo(bindir: Path, docker: str | None = None) -> Path:
    """The local rivo as `rivo` in ``bindir``; with ``docker``, a `docker` script beside it."""
    (bindir / "rivo").symlink_to(LOCAL_RIVO)
    if docker is not None:
        (bindir / "docker").write_text(docker)
        (bindir / "docker").chmod(0o755)
    return bindir


def manifest(r, tool: str) -> dict:
    """parse_show's manifest with the inputs and outputs of the JSON schema added."""
    m = r.parse_show(tool)
    schema = json.loads(r.show(tool, "json").stdout)
    m.update({k: schema[k] for k in ("inputs", "outputs") if k in schema})
    return m


def align_sort_flagstat(r, genome, out: Path) -> None:
    """minimap2, samtools sort and samtools flagstat chained through ``r.run``
    into out/o1..o3 on the ``genome`` fixture's data, each product checked."""
    ref, reads = genome
    aligned = r.run("minimap2", manifest(r, "minimap2"),
                    {"reference": str(ref), "reads": str(reads)}, str(out / "o1"))
    sam = Path(aligned["alignment"])
    assert sam == out / "o1" / "alignment"
    assert sam.read_text().startswith("@SQ\tSN:chr1")
    assert ref.read_text().startswith(">chr1")  # inputs untouched
    sorted_ = r.run("samtools_sort", manifest(r, "samtools_sort"), {"alignment": str(sam)},
                    str(out / "o2"))
    bam = Path(sorted_["sorted"])
    assert bam.read_bytes()[:2] == b"\x1f\x8b"  # BGZF
    stats = r.run("samtools_flagstat", manifest(r, "samtools_flagstat"), {"bam": str(bam)},
                  str(out / "o3"))
    report = Path(stats["stats"]).read_text()
    assert "50 + 0 in total" in report and "mapped (" in report


def run_example_pipeline(backend: str, workdir: Path, timeout: float, drop_env=()):
    """examples/pipeline.py in a child, without any model API key (nor ``drop_env``)."""
    env = {k: v for k, v in os.environ.items() if k not in API_KEYS and k not in drop_env}
    return subprocess.run(
        [sys.executable, str(REPO / "examples" / "pipeline.py"), "--backend", backend,
         "--workdir", str(workdir)],
        capture_output=True, text=True, env=env, timeout=timeout,
    )


# ---------------------------------------------------- a private mount namespace
#
# The script runs chrooted into an overlay of / on a tmpfs, in a mount
# namespace of its own: it may write /usr/bin and /vol, the machine never sees
# it. It exits 97 unless it finds the marker file of that private root.

NAMESPACE_SETUP = r"""
set -e
mount -t tmpfs tmpfs "$T"
mkdir "$T/upper" "$T/work" "$T/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$T/upper,workdir=$T/work" "$T/root"
for d in $RBIND; do mount --rbind "/$d" "$T/root/$d"; done
if [ -n "$BIND" ]; then mount --bind "$BIND" "$T/root$BIND"; fi
touch "$T/root/.tavro-private-root"
exec chroot "$T/root" "$PY" "$SCRIPT" "$ARG"
"""


def private_root_skip_reason() -> str | None:
    if not shutil.which("unshare") or not shutil.which("chroot"):
        return "unshare/chroot not available"
    # A docker.real or /vol outside would mean a wrapper is installed on this
    # machine; leave such a machine alone.
    for p in ("/usr/bin/docker.real", "/vol"):
        if os.path.lexists(p):
            return f"{p} exists on this machine"
    return None


def run_in_private_root(tmp_path: Path, script: str, arg: str, *, rbind=("proc", "dev"),
                        bind: str = "", timeout: float):
    """Python ``script`` with ``arg`` inside the private root; ``rbind`` and
    ``bind`` are host folders visible there at the same place."""
    path = tmp_path / "inside.py"
    path.write_text(textwrap.dedent(script))
    ns = tmp_path / "ns"
    ns.mkdir()
    env = dict(os.environ, T=str(ns), PY=sys.executable, SCRIPT=str(path), ARG=str(arg),
               RBIND=" ".join(rbind), BIND=bind)
    return subprocess.run(["unshare", "-m", "--propagation", "private", "bash", "-c", NAMESPACE_SETUP],
                          env=env, capture_output=True, text=True, timeout=timeout)


# ------------------------------------------------------------------ GIL probe

@contextlib.contextmanager
def ticking():
    """A thread appending to the yielded list every 10 ms until the block ends:
    its length shows whether the block left the GIL to other threads."""
    ticks: list[int] = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.01)

    t = threading.Thread(target=tick)
    t.start()
    try:
        yield ticks
    finally:
        stop.set()
        t.join()


# ------------------------------------------------- a fresh interpreter, a full disk

def run_script(script: str, env: dict | None = None, prefix: list[str] | None = None) -> dict:
    """Runs Python code in a fresh interpreter; it prints one JSON line."""
    proc = subprocess.run(
        [*(prefix or []), sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True, text=True, env=env or dict(os.environ), timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def can_mount_tmpfs() -> bool:
    if not shutil.which("unshare"):
        return False
    probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=64k tmpfs /mnt"],
                           capture_output=True)
    return probe.returncode == 0

