#!/usr/bin/env python3
"""RIVO.run of a small tool in a container, side by side with the same
`docker run --rm -v ...` typed by hand.

    python bench/bench_container.py [--reps 15]

The tool is `samtools flagstat` on a small SAM file, from the image the
registry names. RIVO.run covers staging, the `rivo exec` child, rivo's own
`docker run` and the harvest; the bare run is the one command a user would
type on a folder that already holds the input:

    docker run --rm -i -v DIR:/workspace -w /workspace --entrypoint= IMAGE samtools flagstat in.sam > out

The two take turns; the medians, their ratio (target: at most 1.2) and the
fixed cost rivo adds per call (the difference of the medians) are printed.
Uses the daemon of DOCKER_HOST when set, else starts a private one
(scripts/dockerd.py, needs root) and stops it at the end. Missing images
are built from the host's own programs (scripts/images.py).
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

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))

import dockerd  # noqa: E402
import images  # noqa: E402
import tavro.helpers.rivo as rivo_mod  # noqa: E402
from tavro.helpers.rivo import RIVO  # noqa: E402

TOOL = "samtools_flagstat"
IMAGE = "quay.io/biocontainers/samtools:1.16.1--h6899075_1"


def make_sam(path: Path, reads: int = 200) -> None:
    lines = ["@HD\tVN:1.6\tSO:unsorted", "@SQ\tSN:chr1\tLN:10000"]
    for i in range(reads):
        lines.append(f"r{i}\t0\tchr1\t{1 + i * 10}\t60\t50M\t*\t0\t0\t{'ACGT' * 12}AC\t{'I' * 50}")
    path.write_text("\n".join(lines) + "\n")


def setup(work: Path) -> RIVO:
    """Hosted setting on a private volume: `add` once, so each run finds the lock."""
    bindir = work / "bin"
    bindir.mkdir()
    (bindir / "rivo").symlink_to(Path(rivo_mod.__file__).parent / "_bin" / "rivo")
    if os.path.exists(images.CLIENT):
        (bindir / "docker").symlink_to(images.CLIENT)
    os.environ["PATH"] = f"{bindir}{os.pathsep}{os.environ['PATH']}"
    os.environ["RIVO_REGISTRY"] = str(REPO / "registry")
    os.environ["PIPELINE_VOLUME_PATH"] = str(work / "vol")
    os.environ.pop("RIVO_BACKEND", None)
    r = RIVO(backend="docker")
    r.add(TOOL)
    return r


def bare(folder: Path) -> float:
    # the client rivo finds first on PATH (setup puts Debian's there)
    argv = [shutil.which("docker") or "docker", "run", "--rm", "-i",
            "-v", f"{folder}:/workspace", "-w", "/workspace", "--entrypoint=", IMAGE,
            "samtools", "flagstat", "in.sam"]
    t = time.perf_counter()
    with open(folder / "out", "wb") as out:
        subprocess.run(argv, stdout=out, stdin=subprocess.DEVNULL, check=True)
    return time.perf_counter() - t


def through_rivo(r: RIVO, manifest: dict, sam: Path, out_dir: Path) -> float:
    t = time.perf_counter()
    r.run(TOOL, manifest, {"bam": str(sam)}, str(out_dir))
    return time.perf_counter() - t


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=15)
    args = ap.parse_args()
    daemon = None
    if not os.environ.get("DOCKER_HOST"):
        reason = dockerd.cannot_run_reason()
        if reason:
            sys.exit(f"set DOCKER_HOST to a running daemon ({reason})")
        daemon = dockerd.Daemon.start()
        os.environ["DOCKER_HOST"] = daemon.host
    try:
        images.build_registry_images(dict(os.environ))
        with tempfile.TemporaryDirectory(prefix="bench_container_") as tmp:
            run(Path(tmp), args.reps)
    finally:
        if daemon:
            daemon.stop()
    return 0


def run(work: Path, reps: int) -> None:
    os.environ["TMPDIR"] = str(work / "systmp")
    (work / "systmp").mkdir()
    tempfile.tempdir = None
    r = setup(work)
    manifest = r.parse_show(TOOL)
    manifest["outputs"] = {"stats": {"type": "txt"}}
    sam = work / "in.sam"
    make_sam(sam)
    hand = work / "hand"
    hand.mkdir()
    make_sam(hand / "in.sam")
    bare(hand), through_rivo(r, manifest, sam, work / "warm")  # warm-up
    t_bare, t_rivo = [], []
    for i in range(reps):
        t_bare.append(bare(hand))
        t_rivo.append(through_rivo(r, manifest, sam, work / f"out{i}"))
    expect = (hand / "out").read_text()
    assert (work / f"out{reps - 1}" / "stats").read_text() == expect, "outputs differ"
    mb, mr = statistics.median(t_bare), statistics.median(t_rivo)
    print(f"samtools flagstat in a container, {reps} runs each (medians)")
    print(f"  docker run --rm -v ... by hand : {mb * 1000:8.1f} ms")
    print(f"  RIVO.run                       : {mr * 1000:8.1f} ms")
    print(f"  ratio                          : {mr / mb:8.2f}x  (target <= 1.20x)")
    print(f"  fixed cost rivo adds per call  : {(mr - mb) * 1000:8.1f} ms")


if __name__ == "__main__":
    raise SystemExit(main())
