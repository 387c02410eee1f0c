#!/usr/bin/env python3
"""A tool's standard output into a slot: `RIVO.run` of `cat BIG > {out}`
against the same shell redirection, side by side.

    python bench/bench_stdout.py [--size 4G] [--dir DIR] [--turns 5]

BIG is a sparse file of --size bytes (reading it costs next to nothing, so
the numbers are about moving the output). Its path is written into the
template rather than given as an input, so it is not staged (staging is what
bench_staging.py measures). `rivo` is a two-line shell stand-in
that execs the tool, so both methods start `cat` the same way; `RIVO.run` adds
its sandbox, the pipe it reads the output from and the harvest into the
node's output directory. Everything lives below DIR (default: the temporary
directory), sandboxes included.

Each method runs in a fresh interpreter that reports its wall time and the
growth of its peak resident memory (ru_maxrss) over the call. The methods
take turns (write-back flushed before each); best turn, median and spread
are reported. Targets: the best turn's throughput at least 0.8 times the
shell's, memory growth under 64 MiB in every turn; the exit status is 1 when
one is missed.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from turns import MIN_TURNS, Targets, take_turns

CHILD = r"""
import json, os, resource, shlex, subprocess, sys, tempfile, time
method, big, out = sys.argv[1:4]
from tavro.helpers.rivo import RIVO
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
if method == "rivo":
    manifest = {"args_template": shlex.quote(big) + " > {out}", "outputs": {"out": {}}}
    res = RIVO().run("cat", manifest, {}, out)
    produced = res["out"]
else:
    os.makedirs(out)
    produced = os.path.join(out, "out")
    subprocess.run(["sh", "-c", 'cat "$0" > "$1"', big, produced], check=True)
took = time.perf_counter() - t0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": took, "growth_kib": peak - base, "size": os.path.getsize(produced)}))
"""

FAKE_RIVO = '#!/bin/sh\n[ "$1" = exec ] && shift\nexec "$@"\n'


def parse_size(text: str) -> int:
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip().upper().rstrip("IB")
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


def run_child(method: str, big: Path, out: Path, env: dict) -> dict:
    proc = subprocess.run([sys.executable, "-c", CHILD, method, str(big), str(out)],
                          capture_output=True, text=True, env=env, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", default="4G", help="bytes of output (suffix K, M or G); default 4G")
    ap.add_argument("--dir", default=None, help="working directory (default: the temporary directory)")
    ap.add_argument("--turns", type=int, default=MIN_TURNS)
    args = ap.parse_args()
    size = parse_size(args.size)

    with tempfile.TemporaryDirectory(dir=args.dir, prefix="bench_stdout_") as tmp:
        tmp = Path(tmp)
        bindir = tmp / "bin"
        bindir.mkdir()
        (bindir / "rivo").write_text(FAKE_RIVO)
        (bindir / "rivo").chmod(0o755)
        big = tmp / "BIG"
        with open(big, "wb") as fh:
            fh.truncate(size)
        systmp = tmp / "systmp"
        systmp.mkdir()
        env = dict(os.environ, PATH=f"{bindir}:{os.environ.get('PATH', '')}", TMPDIR=str(systmp))
        env.pop("PIPELINE_VOLUME_PATH", None)
        growth = {"shell": 0, "rivo": 0}

        def method(name):
            def run():
                out = tmp / f"out-{name}"
                subprocess.run(["rm", "-rf", str(out)], check=True)
                r = run_child(name, big, out, env)
                assert r["size"] == size, r
                growth[name] = max(growth[name], r["growth_kib"])
                return r["seconds"]
            return run

        t = take_turns({"shell": method("shell"), "rivo": method("rivo")}, args.turns)

    t.table(f"output of {size / (1 << 30):.2f} GiB into a slot")
    for name in ("shell", "rivo"):
        print(f"  {name}: best {size / t.best(name) / (1 << 20):.0f} MiB/s, "
              f"peak memory growth {growth[name] / 1024:.1f} MiB")
    targets = Targets()
    ratio = t.best("shell") / t.best("rivo")
    targets.check(f"RIVO.run throughput {ratio:.2f} x shell >= 0.8", ratio >= 0.8)
    targets.check(f"memory growth {growth['rivo'] / 1024:.1f} MiB < 64 MiB", growth["rivo"] < 64 * 1024)
    return targets.status()


if __name__ == "__main__":
    sys.exit(main())
