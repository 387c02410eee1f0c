#!/usr/bin/env python3
"""RIVO.run through SLURM, side by side with a local run and with the shell.

    python bench/bench_cluster.py [--turns 5] [--size 2G] [--dir DIR]

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
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))

import slurm  # noqa: E402
from turns import MIN_TURNS, Targets, take_turns  # noqa: E402

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


def fixed_cost(work: Path, turns: int, targets: Targets) -> None:
    small = work / "small.txt"
    small.write_text("x" * 1023 + "\n")
    manifest = {"entrypoint": "cat", "args_template": f"{shlex.quote(str(small))} > {{out}}",
                "outputs": {"out": {}}}
    runners = {"local": RIVO(executor="local"), "slurm": RIVO(executor="slurm")}
    for r in runners.values():  # warm-up
        r.run("cat", manifest, {}, str(work / "warm"))
    turn = {k: 0 for k in runners}

    def method(name):
        def run():
            turn[name] += 1
            t = time.perf_counter()
            for k in range(RUNS_PER_TURN):
                res = runners[name].run("cat", manifest, {}, str(work / f"fc-{name}-{turn[name]}-{k}"))
            seconds = (time.perf_counter() - t) / RUNS_PER_TURN
            assert Path(res["out"]).read_text() == small.read_text()
            return seconds
        return run

    t = take_turns({name: method(name) for name in runners}, turns)
    t.table("small tool, time per RIVO.run", "ms", 1000)
    added = t.best("slurm") - t.best("local")
    targets.check(f"SLURM adds {added * 1000:.0f} ms per run <= 500 ms", added <= 0.5)


def big_output(work: Path, turns: int, size: int, targets: Targets) -> None:
    big = work / "BIG"
    with open(big, "wb") as fh:
        fh.truncate(size)
    manifest = {"entrypoint": "cat", "args_template": f"{shlex.quote(str(big))} > {{out}}",
                "outputs": {"out": {}}}
    r = RIVO(executor="slurm")
    out = work / "big"

    def shell() -> Path:
        out.mkdir()
        subprocess.run(["sh", "-c", 'cat "$0" > "$1"', str(big), str(out / "out")], check=True)
        return out / "out"

    def through_slurm() -> Path:
        return Path(r.run("cat", manifest, {}, str(out))["out"])

    def timed(produce):
        def run():
            t = time.perf_counter()
            produced = produce()
            seconds = time.perf_counter() - t
            assert produced.stat().st_size == size
            return seconds
        return run

    t = take_turns({"shell": timed(shell), "RIVO via SLURM": timed(through_slurm)}, turns,
                   prepare=lambda _: shutil.rmtree(out, ignore_errors=True))
    shutil.rmtree(out, ignore_errors=True)
    t.table(f"{size / (1 << 30):.2f} GiB of standard output into a slot")
    mib = {name: size / t.best(name) / (1 << 20) for name in ("shell", "RIVO via SLURM")}
    print(f"  best: shell {mib['shell']:.0f} MiB/s, through SLURM {mib['RIVO via SLURM']:.0f} MiB/s")
    ratio = t.best("shell") / t.best("RIVO via SLURM")
    targets.check(f"throughput through SLURM {ratio:.2f} x shell >= 0.8", ratio >= 0.8)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--turns", type=int, default=MIN_TURNS, help=f"turns per method (at least {MIN_TURNS})")
    ap.add_argument("--size", default="2G", help="bytes of standard output (suffix K, M or G); default 2G")
    ap.add_argument("--dir", default=None, help="working folder (default: the temporary directory)")
    args = ap.parse_args()
    if args.turns < MIN_TURNS:
        ap.error(f"--turns must be at least {MIN_TURNS}")

    cluster = None
    if not os.environ.get("SLURM_CONF"):
        reason = slurm.cannot_run_reason()
        if reason:
            sys.exit(f"set SLURM_CONF to a running cluster ({reason})")
        cluster = slurm.Cluster.start()
        os.environ.update(slurm.client_env(cluster.conf))
    targets = Targets()
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
            fixed_cost(work, args.turns, targets)
            big_output(work, args.turns, parse_size(args.size), targets)
    finally:
        if cluster:
            cluster.stop()
    return targets.status()


if __name__ == "__main__":
    raise SystemExit(main())
