#!/usr/bin/env python3
"""RIVO.run throughput with 1, 2 and 4 worker processes on one volume.

    python bench/bench_workers.py [--seconds 4] [--turns 5] [--workers 1,2,4] [--wait 0.2] [--dir DIR]

A host that outgrows one process runs tool nodes in several worker processes
sharing the pipeline volume. Only project changes (add, sync, remove, the
prune) take the project lock; runs read the project and must not queue behind
one another. Each worker here runs a small tool (`wc -l` through the local
rivo, local backend) on its own input as often as it can for the given time;
the worker counts take turns, and the table shows seconds per run (best
turn, median, spread) and the speed-up of the best turns over one worker.
On a machine with N cores the speed-up levels off near N. A second table runs
a tool that first waits (`--wait` seconds, as a tool waiting on I/O would):
its throughput grows with the workers whatever the core count, unless runs
were serialised.

Targets (best turns): the small tool speeds up at least 0.6 x min(workers,
cores) times, the waiting one at least 0.75 x workers times; the exit status
is 1 when one is missed.
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

from turns import MIN_TURNS, Targets, Turns

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


def measure(root: Path, env: dict[str, str], tool: str, workers: int, seconds: float,
            turn: str) -> tuple[int, float]:
    start = time.time() + 1.5  # all workers imported and ready
    procs = []
    for i in range(workers):
        work = root / f"{tool}-w{workers}-{i}-t{turn}"
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


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=4.0, help="seconds per turn")
    ap.add_argument("--turns", type=int, default=MIN_TURNS)
    ap.add_argument("--workers", default="1,2,4")
    ap.add_argument("--wait", type=float, default=0.2, help="seconds the waiting tool waits per run")
    ap.add_argument("--dir", default=None, help="where the volume lives (default: the temporary directory)")
    args = ap.parse_args()
    if not LOCAL_RIVO.exists():
        raise SystemExit("the local rivo is not built")
    counts = [int(x) for x in args.workers.split(",")]
    cores = os.cpu_count() or 1
    targets = Targets()
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        root = Path(tmp)
        env = {**setup(root), "BENCH_WAIT": str(args.wait)}
        for tool, title, want in (
            ("wc", "`wc -l`", lambda n: 0.6 * min(n, cores)),
            ("slowwc", f"a tool waiting {args.wait:g} s, then `wc -l`", lambda n: 0.75 * n),
        ):
            t = Turns([f"{n} workers" for n in counts])
            for turn in range(max(args.turns, MIN_TURNS)):
                for k in range(len(counts)):
                    n = counts[(turn + k) % len(counts)]
                    os.sync()
                    runs, took = measure(root, env, tool, n, args.seconds, f"{turn}")
                    t.add(f"{n} workers", took / runs)
            t.table(f"RIVO.run of {title} (local rivo, local backend), {args.seconds:g} s per turn, {cores} CPUs",
                    unit="ms per run", scale=1000)
            base = t.best(f"{counts[0]} workers")
            for n in counts[1:]:
                speed = base / t.best(f"{n} workers")
                targets.check(f"{tool} with {n} workers: speed-up {speed:.2f} >= {want(n):.2f}", speed >= want(n))
            print()
    return targets.status()


if __name__ == "__main__":
    sys.exit(main())
