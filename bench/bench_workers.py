#!/usr/bin/env python3
"""RIVO.run throughput with 1, 2 and 4 worker processes on one volume.

    python bench/bench_workers.py [--seconds 10] [--workers 1,2,4] [--wait 0.2] [--dir DIR]

A host that outgrows one process runs tool nodes in several worker processes
sharing the pipeline volume. Only project changes (add, sync, remove, the
prune) take the project lock; runs read the project and must not queue behind
one another. Each worker here runs a small tool (`wc -l` through the local
rivo, local backend) on its own input as often as it can for the given time;
the table shows runs per second and the speed-up over one worker. On a
machine with N cores the speed-up levels off near N. A second table runs a
tool that first waits (`--wait` seconds, as a tool waiting on I/O would): its
throughput grows with the workers whatever the core count, unless runs were
serialised.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import tavro.helpers.rivo as rivo_mod

LOCAL_RIVO = Path(rivo_mod.__file__).parent / "_bin" / "rivo"

MANIFEST = {
    "args_template": "-l {text} > {count}",
    "inputs": {"text": {"type": "txt"}},
    "outputs": {"count": {"type": "txt"}},
}

WORKER = textwrap.dedent(
    """
    import json, sys, time
    from tavro.helpers.rivo import RIVO
    manifest, work, start, seconds = json.loads(sys.argv[1]), sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
    tool = sys.argv[5]
    r = RIVO(backend="local")
    time.sleep(max(0.0, start - time.time()))
    runs, end = 0, start + seconds
    while time.time() < end:
        out = r.run(tool, manifest, {"text": work + "/in.txt"}, f"{work}/out{runs}")
        assert open(out["count"]).read().split()[0] == "1000", out
        runs += 1
    print(runs, time.time() - start)
    """
)


def setup(root: Path) -> dict[str, str]:
    bindir, reg, vol = root / "bin", root / "registry", root / "vol"
    for d in (bindir, reg, vol):
        d.mkdir()
    (bindir / "rivo").symlink_to(LOCAL_RIVO)
    (reg / "wc.toml").write_text('binaries = ["wc"]\nargs_template = "-l {text} > {count}"\n')
    (reg / "slowwc.toml").write_text('binaries = ["slowwc"]\nargs_template = "-l {text} > {count}"\n')
    (bindir / "slowwc").write_text('#!/bin/sh\nsleep "$BENCH_WAIT"\nexec wc "$@"\n')
    (bindir / "slowwc").chmod(0o755)
    env = {**os.environ, "PATH": f"{bindir}{os.pathsep}{os.environ['PATH']}", "PIPELINE_VOLUME_PATH": str(vol),
           "RIVO_REGISTRY": str(reg), "RIVO_BACKEND": "local", "TMPDIR": str(root)}
    subprocess.run([sys.executable, "-c", "from tavro.helpers.rivo import RIVO; RIVO(backend='local').add('wc', 'slowwc')"],
                   env=env, check=True)
    return env


def measure(root: Path, env: dict[str, str], tool: str, workers: int, seconds: float) -> tuple[int, float]:
    start = time.time() + 1.5  # all workers imported and ready
    procs = []
    for i in range(workers):
        work = root / f"{tool}-w{workers}-{i}"
        work.mkdir()
        (work / "in.txt").write_text("line\n" * 1000)
        procs.append(subprocess.Popen(
            [sys.executable, "-c", WORKER, __import__("json").dumps(MANIFEST), str(work), str(start), str(seconds), tool],
            env=env, stdout=subprocess.PIPE, text=True))
    runs, longest = 0, 0.0
    for p in procs:
        out, _ = p.communicate()
        if p.returncode != 0:
            raise SystemExit(f"worker failed with status {p.returncode}")
        n, took = out.split()
        runs, longest = runs + int(n), max(longest, float(took))
    return runs, longest


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--workers", default="1,2,4")
    ap.add_argument("--wait", type=float, default=0.2, help="seconds the waiting tool waits per run")
    ap.add_argument("--dir", default=None, help="where the volume lives (default: the temporary directory)")
    args = ap.parse_args()
    if not LOCAL_RIVO.exists():
        raise SystemExit("the local rivo is not built")
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        root = Path(tmp)
        env = {**setup(root), "BENCH_WAIT": str(args.wait)}
        for tool, title in (("wc", "`wc -l`"), ("slowwc", f"a tool waiting {args.wait:g} s, then `wc -l`")):
            print(f"RIVO.run of {title} (local rivo, local backend), {args.seconds:g} s per row, "
                  f"{os.cpu_count()} CPUs")
            print(f"{'workers':>7}  {'runs':>6}  {'runs/s':>8}  {'speed-up':>8}")
            base = None
            for n in (int(x) for x in args.workers.split(",")):
                runs, took = measure(root, env, tool, n, args.seconds)
                rate = runs / took
                base = base or rate
                print(f"{n:>7}  {runs:>6}  {rate:>8.1f}  {rate / base:>7.2f}x")
            print()

if __name__ == "__main__":
    main()
