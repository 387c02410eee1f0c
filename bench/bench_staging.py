#!/usr/bin/env python3
"""Staging and harvest of RIVO.run, timed side by side with `cp -a` and
shutil.copy2 / shutil.copytree on the same file system.

    python bench/bench_staging.py [--dir DIR] [--big-mib 1024] [--files 20000]

Three cases; the three methods of a case take turns, and the median of the
repetitions is reported:

- stage a big file (default 1 GiB) into the sandbox of a no-op tool;
- stage an input folder of many small files (default 20,000 of 1 KiB);
- harvest a directory output of as many small files into the node's output
  directory. `run` removes the sandbox right after the harvest and the two
  cannot be timed apart, so this case is compared with copy-and-remove
  (`cp -a` + `rm -rf`, shutil.copytree + shutil.rmtree).

Staging is timed from the call of `run` to the moment the tool is started
(the replaced `_run`), which also covers the sandbox and project set-up.
Everything lives below DIR (default: the temporary directory), sandboxes
included, so all methods copy within one file system: point DIR at a mounted
XFS or btrfs image to see reflink clones.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from tavro.helpers.rivo import RIVO


def fs_type(path: Path) -> str:
    try:
        out = subprocess.run(["stat", "-f", "-c", "%T", str(path)], capture_output=True, text=True, check=True)
        return out.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "?"


def make_big(path: Path, mib: int) -> None:
    block = os.urandom(1 << 20)
    with open(path, "wb") as fh:
        for i in range(mib):
            fh.write(block[i % 7 :] + block[: i % 7])  # not dedupable block by block


def make_small_tree(root: Path, n: int, size: int, per_dir: int = 1000) -> None:
    payload = os.urandom(size)
    for i in range(n):
        d = root / f"d{i // per_dir:03d}"
        if i % per_dir == 0:
            d.mkdir(parents=True, exist_ok=True)
        with open(d / f"f{i:06d}.txt", "wb") as fh:
            fh.write(payload)


def clear(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    elif path.exists() or path.is_symlink():
        path.unlink()


def timed(fn) -> float:
    os.sync()
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


class NoOp(RIVO):
    """The tool does nothing (staging case) or writes a folder output whose
    creation is not timed (harvest case)."""

    def __init__(self, produce: Path | None = None):
        super().__init__()
        self.produce = produce
        self.started = self.finished = 0.0

    def _run(self, cmd, **kw):
        self.started = time.perf_counter()
        if self.produce is not None:
            res = Path(kw["cwd"]) / "res"
            res.rmdir()  # the pre-created folder of the slot, still empty
            subprocess.run(["cp", "-a", str(self.produce), str(res)], check=True)
            os.sync()
        self.finished = time.perf_counter()
        return subprocess.CompletedProcess(["rivo", *cmd], 0, "", "")


def stage_with_run(src: Path, out: Path) -> float:
    r = NoOp()
    os.sync()
    t0 = time.perf_counter()
    r.run("noop", {}, {"x": str(src)}, str(out))
    return r.started - t0


def harvest_with_run(produced: Path, out: Path) -> float:
    r = NoOp(produce=produced)
    r.run("noop", {"outputs": {"res": {"type": "dir"}}}, {}, str(out))
    return time.perf_counter() - r.finished


def compare(repeat: int, methods) -> list[float]:
    """Median time of each (prepare, measure) pair. The methods take turns in
    a rotating order, so a burst of background write-back hits them alike."""
    times: list[list[float]] = [[] for _ in methods]
    for rep in range(repeat):
        for k in range(len(methods)):
            i = (rep + k) % len(methods)
            prepare, measure = methods[i]
            prepare()
            times[i].append(measure())
    return [statistics.median(t) for t in times]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", default=tempfile.gettempdir(), help="file system to measure on")
    ap.add_argument("--big-mib", type=int, default=1024, help="size of the big input in MiB")
    ap.add_argument("--files", type=int, default=20000, help="number of small files")
    ap.add_argument("--file-size", type=int, default=1024, help="bytes per small file")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    work = Path(tempfile.mkdtemp(prefix="bench_staging_", dir=args.dir))
    tmp = work / "tmp"
    tmp.mkdir()
    os.environ["TMPDIR"] = str(tmp)
    os.environ.pop("PIPELINE_VOLUME_PATH", None)
    tempfile.tempdir = str(tmp)
    print(f"file system: {fs_type(work)} at {work}")
    print(f"big file {args.big_mib} MiB, {args.files} files of {args.file_size} B, median of {args.repeat}\n")

    try:
        big = work / "big.bin"
        small = work / "small"
        make_big(big, args.big_mib)
        make_small_tree(small, args.files, args.file_size)
        dst = work / "dst"
        out = work / "out"

        def reset():
            clear(dst)
            clear(out)
            for p in tmp.iterdir():
                clear(p)

        rows = []
        for label, src, py_copy in (
            ("stage big file", big, shutil.copy2),
            ("stage small-file folder", small, shutil.copytree),
        ):
            rows.append((label, *compare(args.repeat, [
                (reset, lambda: stage_with_run(src, out)),
                (reset, lambda: timed(lambda: subprocess.run(["cp", "-a", str(src), str(dst)], check=True))),
                (reset, lambda: timed(lambda: py_copy(src, dst))),
            ])))

        produced = work / "produced"
        shutil.copytree(small, produced)
        scratch = work / "scratch"

        def reset_harvest():
            reset()
            clear(scratch)
            subprocess.run(["cp", "-a", str(produced), str(scratch)], check=True)

        def cp_rm():
            subprocess.run(["cp", "-a", str(scratch), str(dst)], check=True)
            subprocess.run(["rm", "-rf", str(scratch)], check=True)

        def py_rm():
            shutil.copytree(scratch, dst)
            shutil.rmtree(scratch)

        rows.append(("harvest folder + clean-up", *compare(args.repeat, [
            (reset, lambda: harvest_with_run(produced, out)),
            (reset_harvest, lambda: timed(cp_rm)),
            (reset_harvest, lambda: timed(py_rm)),
        ])))

        print(f"{'case':<27}{'run':>10}{'cp -a':>10}{'shutil':>10}{'run/cp':>9}{'run/shutil':>12}")
        for label, a, b, c in rows:
            print(f"{label:<27}{a:>9.3f}s{b:>9.3f}s{c:>9.3f}s{a / b:>9.2f}{a / c:>12.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
