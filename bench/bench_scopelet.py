#!/usr/bin/env python3
"""Describer benchmark: build_scopelet on one directory of many files.

Compares, on the same tree (page cache warm; the three take --turns turns,
write-back flushed before each; best turn, median and spread):

* build_scopelet({"out": DIR})
* the shell pipeline `find DIR -type f | sort | head -30` followed by 30 runs
  of `head -n 3`, all in one bash run
* a plain-Python version of the same description (os.walk, sorted,
  subprocess.run per preview)

Targets (best turns): build_scopelet within 1.5 times the find pipeline and
at least 3 times faster than plain Python; the exit status is 1 when one is
missed.

Usage: python bench/bench_scopelet.py [--files 100000] [--turns 9] [--dir PATH]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

from turns import Targets, take_turns

from tavro.helpers.scopelet import build_scopelet

SHELL = r"""
find "$1" -type f | sort | head -30 | while IFS= read -r f; do head -n 3 "$f"; done
"""


def make_tree(root: str, files: int) -> None:
    """Nested like a tool's output: 20 sample folders, 10 sub-folders each."""
    per_leaf = max(1, files // 200)
    made = 0
    for a in range(20):
        for b in range(10):
            leaf = os.path.join(root, f"sample_{a:02d}", f"part_{b}")
            os.makedirs(leaf)
            for i in range(per_leaf):
                if made == files:
                    return
                with open(os.path.join(leaf, f"rec_{i:05d}.txt"), "w") as fh:
                    fh.write(f">rec{i}\nMKVLAAGG\nscore={i}\nend\n")
                made += 1


def python_describe(d: str) -> str:
    """The same description in plain Python."""
    files = []
    for top, _dirs, names in os.walk(d):
        for name in names:
            files.append(os.path.join(top, name))
    files = sorted(files)[:30]
    rel = [os.path.relpath(f, d) for f in files]
    lines = ["ACTUAL UPSTREAM OUTPUT at runtime:", f"  out = {d!r}  [directory, files: {rel!r}]"]
    for f, r in zip(files, rel):
        try:
            out = subprocess.run(["head", "-n", "3", f], capture_output=True, text=True, timeout=3).stdout
        except Exception:
            continue
        if out.strip():
            lines.append(f"    {r!r}: {out.strip()[:200]}")
    return "\n".join(lines)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--files", type=int, default=100_000)
    ap.add_argument("--turns", type=int, default=9)
    ap.add_argument("--dir", help="where to build the tree (default: a temporary folder)")
    args = ap.parse_args()

    base = tempfile.mkdtemp(prefix="bench_scopelet_", dir=args.dir)
    try:
        root = os.path.join(base, "out")
        t0 = time.perf_counter()
        make_tree(root, args.files)
        print(f"tree: {args.files} files in {time.perf_counter() - t0:.1f} s ({root})")

        ours = build_scopelet({"out": root})
        assert ours == python_describe(root), "the plain-Python version describes the tree differently"
        shell_env = dict(os.environ, LC_ALL="C")

        def shell():
            subprocess.run(["bash", "-c", SHELL, "bash", root], env=shell_env, check=True,
                           stdout=subprocess.DEVNULL)

        t = take_turns(
            {
                "build_scopelet": lambda: build_scopelet({"out": root}) and None,
                "find | sort | head + 30 head": shell,
                "plain Python (os.walk + subprocess)": lambda: python_describe(root) and None,
            },
            args.turns,
        )
        t.table(f"describing {args.files} files", unit="ms", scale=1000)
        ours_t = t.best("build_scopelet")
        targets = Targets()
        ratio = ours_t / t.best("find | sort | head + 30 head")
        targets.check(f"build_scopelet / find pipeline {ratio:.2f} <= 1.5", ratio <= 1.5)
        speed = t.best("plain Python (os.walk + subprocess)") / ours_t
        targets.check(f"plain Python / build_scopelet {speed:.2f} >= 3", speed >= 3)
        return targets.status()
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
