#!/usr/bin/env python3
"""RIVO.run through SLURM, side by side with a local run and with the shell.

    python bench/bench_cluster.py [--turns 7] [--size 2G] [--dir DIR]

Two comparisons, the methods taking turns, `sync` between turns:

1. Fixed cost: RIVO.run of a small tool (`cat` of a 1 KiB input into a slot)
   with the SLURM executor against the same run with the local one. Each
   turn is 5 runs; the time per run is reported. Target: SLURM adds at most
   0.5 s per run (best turns).
2. A 2 GiB standard output: RIVO.run of `cat BIG > {out}` through SLURM
   against `sh -c 'cat BIG > out'`. BIG is a sparse file, so the numbers are
   about moving the output. Target: at least 0.8 times the shell's
   throughput (best turns); output relayed through srun would run at a few
   tens of MB/s.

`rivo` is a three-line shell stand-in that execs the tool, so every method
starts `cat` the same way (a SLURM run also asks it for the tool's
resources, as it would ask the real one). Sandboxes, outputs and BIG live below DIR
(default: the temporary directory), which the cluster's node must see.
Uses the cluster of SLURM_CONF when set, else starts a private one
(scripts/slurm.py, needs root) and stops it at the end. Exits 1 when a best
turn misses its target.
"""

from __future__ import annotations

import argparse
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))

import slurm  # noqa: E402
from tavro.helpers.rivo import RIVO  # noqa: E402

# `show --format json` answers with a definition that declares no resources.
FAKE_RIVO = '#!/bin/sh\n[ "$1" = show ] && { echo "{}"; exit 0; }\n[ "$1" = exec ] && shift\nexec "$@"\n'
RUNS_PER_TURN = 5


def parse_size(text: str) -> int:
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip().upper().rstrip("IB")
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


def report(title: str, turns: dict, unit: str, scale: float = 1.0) -> dict:
    print(title)
    best = {}
    for method, times in turns.items():
        b, m = min(times), statistics.median(times)
        best[method] = b
        print(f"  {method:14s} best {b * scale:9.3f} {unit}   median {m * scale:9.3f} {unit}   "
              f"spread {(max(times) - b) * scale:8.3f} {unit}   ({len(times)} turns)")
    return best


def fixed_cost(work: Path, turns: int) -> bool:
    small = work / "small.txt"
    small.write_text("x" * 1023 + "\n")
    manifest = {"entrypoint": "cat", "args_template": f"{shlex.quote(str(small))} > {{out}}",
                "outputs": {"out": {}}}
    runners = {"local": RIVO(executor="local"), "slurm": RIVO(executor="slurm")}
    for r in runners.values():  # warm-up
        r.run("cat", manifest, {}, str(work / "warm"))
    times = {k: [] for k in runners}
    for i in range(turns):
        for method in (list(runners) if i % 2 == 0 else list(runners)[::-1]):
            os.sync()
            t = time.perf_counter()
            for k in range(RUNS_PER_TURN):
                res = runners[method].run("cat", manifest, {}, str(work / f"fc-{method}-{i}-{k}"))
            times[method].append((time.perf_counter() - t) / RUNS_PER_TURN)
            assert Path(res["out"]).read_text() == small.read_text()
    best = report("small tool, time per RIVO.run", times, "ms", 1000)
    added = best["slurm"] - best["local"]
    ok = added <= 0.5
    print(f"  SLURM adds {added * 1000:.0f} ms per run (target <= 500 ms): {'ok' if ok else 'MISSED'}")
    return ok


def big_output(work: Path, turns: int, size: int) -> bool:
    big = work / "BIG"
    with open(big, "wb") as fh:
        fh.truncate(size)
    manifest = {"entrypoint": "cat", "args_template": f"{shlex.quote(str(big))} > {{out}}",
                "outputs": {"out": {}}}
    r = RIVO(executor="slurm")

    def shell(out: Path) -> Path:
        out.mkdir()
        subprocess.run(["sh", "-c", 'cat "$0" > "$1"', str(big), str(out / "out")], check=True)
        return out / "out"

    def through_slurm(out: Path) -> Path:
        return Path(r.run("cat", manifest, {}, str(out))["out"])

    methods = {"shell": shell, "RIVO via SLURM": through_slurm}
    times = {k: [] for k in methods}
    for i in range(turns):
        for name in (list(methods) if i % 2 == 0 else list(methods)[::-1]):
            out = work / f"big-{i}"
            os.sync()
            t = time.perf_counter()
            produced = methods[name](out)
            times[name].append(time.perf_counter() - t)
            assert produced.stat().st_size == size
            shutil.rmtree(out)
    gib = size / (1 << 30)
    best = report(f"{gib:.2f} GiB of standard output, seconds", times, "s")
    ratio = best["shell"] / best["RIVO via SLURM"]
    ok = ratio >= 0.8
    print(f"  throughput: shell {size / best['shell'] / (1 << 20):.0f} MiB/s, through SLURM "
          f"{size / best['RIVO via SLURM'] / (1 << 20):.0f} MiB/s = {ratio:.2f} x shell (target >= 0.8): "
          f"{'ok' if ok else 'MISSED'}")
    return ok


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--turns", type=int, default=7, help="turns per method (at least 5)")
    ap.add_argument("--size", default="2G", help="bytes of standard output (suffix K, M or G); default 2G")
    ap.add_argument("--dir", default=None, help="working folder (default: the temporary directory)")
    args = ap.parse_args()
    if args.turns < 5:
        ap.error("--turns must be at least 5")

    cluster = None
    if not os.environ.get("SLURM_CONF"):
        reason = slurm.cannot_run_reason()
        if reason:
            sys.exit(f"set SLURM_CONF to a running cluster ({reason})")
        cluster = slurm.Cluster.start()
        os.environ.update(slurm.client_env(cluster.conf))
    try:
        with tempfile.TemporaryDirectory(dir=args.dir, prefix="bench_cluster_") as tmp:
            work = Path(tmp)
            bindir = work / "bin"
            bindir.mkdir()
            (bindir / "rivo").write_text(FAKE_RIVO)
            (bindir / "rivo").chmod(0o755)
            (work / "systmp").mkdir()
            os.environ["PATH"] = f"{bindir}{os.pathsep}{os.environ.get('PATH', '')}"
            os.environ["TMPDIR"] = str(work / "systmp")
            os.environ.pop("PIPELINE_VOLUME_PATH", None)
            tempfile.tempdir = None
            ok = fixed_cost(work, args.turns)
            ok = big_output(work, args.turns, parse_size(args.size)) and ok
    finally:
        if cluster:
            cluster.stop()
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
