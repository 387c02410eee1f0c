#!/usr/bin/env python3
"""Staging and harvest of RIVO.run, timed side by side with `cp -a` and
shutil.copy2 / shutil.copytree on the same file system.

    python bench/bench_staging.py [--dir DIR] [--big-mib 1024] [--files 20000]

Three cases; the three methods of a case take turns (write-back flushed
before each), and the best turn, median and spread are reported:

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

Target: the best turn of `run` within 1.1 times that of `cp -a` in each case
(the harvest against `cp -a` + `rm -rf`); the exit status is 1 when one is
missed.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from turns import MIN_TURNS, Targets, take_turns

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


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", default=tempfile.gettempdir(), help="file system to measure on")
    ap.add_argument("--big-mib", type=int, default=1024, help="size of the big input in MiB")
    ap.add_argument("--files", type=int, default=20000, help="number of small files")
    ap.add_argument("--file-size", type=int, default=1024, help="bytes per small file")
    ap.add_argument("--turns", type=int, default=MIN_TURNS)
    args = ap.parse_args()

    work = Path(tempfile.mkdtemp(prefix="bench_staging_", dir=args.dir))
    tmp = work / "tmp"
    tmp.mkdir()
    os.environ["TMPDIR"] = str(tmp)
    os.environ.pop("PIPELINE_VOLUME_PATH", None)
    tempfile.tempdir = str(tmp)
    print(f"file system: {fs_type(work)} at {work}")
    print(f"big file {args.big_mib} MiB, {args.files} files of {args.file_size} B\n")

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

        targets = Targets()

        def case(label, methods, prepare):
            t = take_turns(methods, args.turns, prepare)
            t.table(label)
            targets.check(f"{label}: run <= 1.1 x cp -a (best {t.best('run') / t.best('cp -a'):.2f})",
                          t.best("run") <= 1.1 * t.best("cp -a"))
            print(f"  run / shutil: {t.best('run') / t.best('shutil'):.2f}\n")

        for label, src, py_copy in (
            ("stage big file", big, shutil.copy2),
            ("stage small-file folder", small, shutil.copytree),
        ):
            case(label, {
                "run": lambda: stage_with_run(src, out),
                "cp -a": lambda: subprocess.run(["cp", "-a", str(src), str(dst)], check=True) and None,
                "shutil": lambda: py_copy(src, dst) and None,
            }, lambda _name: reset())

        produced = work / "produced"
        shutil.copytree(small, produced)
        scratch = work / "scratch"

        def reset_harvest(name):
            reset()
            clear(scratch)
            if name != "run":
                subprocess.run(["cp", "-a", str(produced), str(scratch)], check=True)

        def cp_rm():
            subprocess.run(["cp", "-a", str(scratch), str(dst)], check=True)
            subprocess.run(["rm", "-rf", str(scratch)], check=True)

        def py_rm():
            shutil.copytree(scratch, dst)
            shutil.rmtree(scratch)

        case("harvest folder + clean-up", {
            "run": lambda: harvest_with_run(produced, out),
            "cp -a": cp_rm,
            "shutil": py_rm,
        }, reset_harvest)
        return targets.status()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
