#!/usr/bin/env python3
"""RIVO.run of a small tool in a container, side by side with the same
`docker run --rm -v ...` typed by hand.

    python bench/bench_container.py [--turns 15]

The tool is `samtools flagstat` on a small SAM file, from the image the
registry names. RIVO.run covers staging, the `rivo exec` child, rivo's own
`docker run` and the harvest; the bare run is the one command a user would
type on a folder that already holds the input:

    docker run --rm -i -v DIR:/workspace -w /workspace --entrypoint= IMAGE samtools flagstat in.sam > out

The two take turns (write-back flushed before each); best turn, median and
spread, the ratio of the best turns (target: at most 1.2; the exit status is
1 when it is missed) and the fixed cost rivo adds per call (the difference of
the medians) are printed.
Uses the daemon of DOCKER_HOST when set, else starts a private one
(scripts/dockerd.py, needs root) and stops it at the end. Missing images
are built from the host's own programs (scripts/images.py).
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

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))

import dockerd  # noqa: E402
import images  # noqa: E402
import tavro.helpers.rivo as rivo_mod  # noqa: E402
from tavro.helpers.rivo import RIVO  # noqa: E402
from turns import Targets, take_turns  # noqa: E402

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
    ap.add_argument("--turns", type=int, default=15)
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
            return run(Path(tmp), args.turns)
    finally:
        if daemon:
            daemon.stop()


def run(work: Path, turns: int) -> int:
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
    count = iter(range(10**6))
    t = take_turns({
        "docker run --rm -v ... by hand": lambda: bare(hand),
        "RIVO.run": lambda: through_rivo(r, manifest, sam, work / f"out{next(count)}"),
    }, turns)
    expect = (hand / "out").read_text()
    assert (work / "out0" / "stats").read_text() == expect, "outputs differ"
    t.table("samtools flagstat in a container", unit="ms", scale=1000)
    mb, mr = t.best("docker run --rm -v ... by hand"), t.best("RIVO.run")
    print(f"  fixed cost rivo adds per call (medians): "
          f"{(t.median('RIVO.run') - t.median('docker run --rm -v ... by hand')) * 1000:.1f} ms")
    targets = Targets()
    targets.check(f"RIVO.run / bare docker run {mr / mb:.2f} <= 1.2", mr / mb <= 1.2)
    return targets.status()


if __name__ == "__main__":
    raise SystemExit(main())
