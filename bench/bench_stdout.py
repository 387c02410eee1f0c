#!/usr/bin/env python3
"""A tool's standard output into a slot: `RIVO.run` of `TOOL > {out}` against
the same redirection typed by hand, side by side.

    python bench/bench_stdout.py [--size 2G,4G] [--dir DIR ...] [--backend local|docker] [--turns 5]

(with --backend docker the default size is 512M: the daemon's attach stream
moves about 55 MiB/s on these machines, for the bare run and RIVO alike)

--backend local (default): the tool is `cat BIG`, BIG a sparse file of --size
bytes (reading it costs next to nothing, so the numbers are about moving the
output), against the shell's `cat BIG > out`. Its path is written into the
template rather than given as an input, so it is not staged (staging is what
bench_staging.py measures). `rivo` is a two-line shell stand-in that execs
the tool, so both methods start `cat` the same way; `RIVO.run` adds its
sandbox, the file it hands the tool as standard output and the harvest into
the node's output directory.

--backend docker: the tool is `head -c SIZE /dev/zero` in a container of the
registry's samtools image, through the local rivo's docker backend, against
`docker run --rm -i -v DIR:/workspace -w /workspace --entrypoint= IMAGE head
-c SIZE /dev/zero > out` typed by hand. Uses the daemon of DOCKER_HOST when
set, else starts a private one (scripts/dockerd.py, needs root) and stops it
at the end.

Every size is measured in every --dir (default: the temporary directory,
normally on a disk, and /dev/shm, where the disk's mood drops out);
everything lives below DIR, sandboxes included. Each method runs in a fresh
interpreter that reports its wall time and the growth of its peak resident
memory (ru_maxrss) over the call. The methods take turns (write-back flushed
before each); best turn, median and spread are reported. Targets on the best
turns: throughput at least 0.95 times the shell's (local) or 0.9 times the
bare docker run's (docker), memory growth under 64 MiB in every turn; the
exit status is 1 when one is missed.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from turns import MIN_TURNS, Targets, take_turns

REPO = Path(__file__).resolve().parent.parent
IMAGE = "quay.io/biocontainers/samtools:1.16.1--h6899075_1"
DOCKER_TOOL = "samtools_flagstat"  # the one tool of the project: `rivo exec head` runs in its image

CHILD = r"""
import json, os, resource, shlex, subprocess, sys, time
method, backend, size, big, out = sys.argv[1:6]
from tavro.helpers.rivo import RIVO
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
os.makedirs(os.path.dirname(out), exist_ok=True)
t0 = time.perf_counter()
if method == "rivo":
    if backend == "local":
        manifest = {"args_template": shlex.quote(big) + " > {out}", "outputs": {"out": {}}}
        res = RIVO().run("cat", manifest, {}, out)
    else:
        manifest = {"entrypoint": "head", "args_template": "-c " + size + " /dev/zero > {out}",
                    "outputs": {"out": {}}}
        res = RIVO(backend="docker").run("head", manifest, {}, out)
    produced = res["out"]
else:
    os.makedirs(out)
    produced = os.path.join(out, "out")
    if backend == "local":
        subprocess.run(["sh", "-c", 'cat "$0" > "$1"', big, produced], check=True)
    else:
        argv = [os.environ["BENCH_DOCKER"], "run", "--rm", "-i", "-v", out + ":/workspace", "-w", "/workspace",
                "--entrypoint=", os.environ["BENCH_IMAGE"], "head", "-c", size, "/dev/zero"]
        with open(produced, "wb") as fh:
            subprocess.run(argv, stdout=fh, stdin=subprocess.DEVNULL, check=True)
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


def default_dirs() -> list[str]:
    dirs = [tempfile.gettempdir()]
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        dirs.append("/dev/shm")
    return dirs


def run_child(method: str, backend: str, size: int, big: Path, out: Path, env: dict) -> dict:
    proc = subprocess.run([sys.executable, "-c", CHILD, method, backend, str(size), str(big), str(out)],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"{method} failed:\n{proc.stdout}\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def environment(tmp: Path, backend: str) -> dict:
    """The children's environment: the fake rivo (local), or the bundled
    rivo with the docker tool added on a private volume (docker)."""
    bindir = tmp / "bin"
    bindir.mkdir()
    systmp = tmp / "systmp"
    systmp.mkdir()
    env = dict(os.environ, PATH=f"{bindir}:{os.environ.get('PATH', '')}", TMPDIR=str(systmp))
    env.pop("PIPELINE_VOLUME_PATH", None)
    env.pop("RIVO_BACKEND", None)
    if backend == "local":
        (bindir / "rivo").write_text(FAKE_RIVO)
        (bindir / "rivo").chmod(0o755)
        return env
    sys.path.insert(0, str(REPO / "scripts"))
    import images  # noqa: E402  (scripts/images.py)
    import tavro.helpers.rivo as rivo_mod

    (bindir / "rivo").symlink_to(Path(rivo_mod.__file__).parent / "_bin" / "rivo")
    if os.path.exists(images.CLIENT):
        (bindir / "docker").symlink_to(images.CLIENT)
    env.update(RIVO_REGISTRY=str(REPO / "registry"), PIPELINE_VOLUME_PATH=str(tmp / "vol"),
               BENCH_DOCKER=shutil.which("docker", path=env["PATH"]) or "docker", BENCH_IMAGE=IMAGE)
    images.build_registry_images(env)
    subprocess.run(["rivo", "add", "--backend", "docker", DOCKER_TOOL], env=env, cwd=tmp, check=True,
                   capture_output=True)
    # RIVO.run runs in the project on the volume; `rivo add` above made it in tmp.
    (tmp / "vol").mkdir(exist_ok=True)
    home = tmp / "vol" / ".rivo_home"
    home.mkdir(exist_ok=True)
    for name in ("rivo.toml", "rivo.lock", ".rivo"):
        if (tmp / name).exists():
            shutil.move(str(tmp / name), str(home / name))
    return env


def measure(where: str, size: int, backend: str, turns: int, targets: Targets) -> None:
    peer = "shell" if backend == "local" else "docker run"
    target = 0.95 if backend == "local" else 0.9
    with tempfile.TemporaryDirectory(dir=where, prefix="bench_stdout_") as tmp:
        tmp = Path(tmp)
        env = environment(tmp, backend)
        big = tmp / "BIG"
        with open(big, "wb") as fh:
            fh.truncate(size if backend == "local" else 0)
        growth = {peer: 0, "rivo": 0}
        count = iter(range(10**6))

        def method(name):
            def run():
                out = tmp / f"out-{next(count)}" / "node"
                r = run_child("rivo" if name == "rivo" else "peer", backend, size, big, out, env)
                assert r["size"] == size, r
                subprocess.run(["rm", "-rf", str(out.parent)], check=True)
                growth[name] = max(growth[name], r["growth_kib"])
                return r["seconds"]
            return run

        t = take_turns({peer: method(peer), "rivo": method("rivo")}, turns)

    t.table(f"{backend}: output of {size / (1 << 30):.2f} GiB into a slot in {where}")
    for name in (peer, "rivo"):
        print(f"  {name}: best {size / t.best(name) / (1 << 20):.0f} MiB/s, "
              f"median {size / t.median(name) / (1 << 20):.0f} MiB/s, "
              f"peak memory growth {growth[name] / 1024:.1f} MiB")
    ratio = t.best(peer) / t.best("rivo")
    targets.check(f"{where}, {size >> 20} MiB: RIVO.run throughput {ratio:.2f} x {peer} >= {target}",
                  ratio >= target)
    targets.check(f"{where}, {size >> 20} MiB: memory growth {growth['rivo'] / 1024:.1f} MiB < 64 MiB",
                  growth["rivo"] < 64 * 1024)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", default=None,
                    help="bytes of output, comma-separated (suffix K, M or G); default 2G,4G, with docker 512M")
    ap.add_argument("--dir", action="append", default=None,
                    help="working directory, repeatable (default: the temporary directory and /dev/shm)")
    ap.add_argument("--backend", choices=("local", "docker"), default="local")
    ap.add_argument("--turns", type=int, default=MIN_TURNS)
    args = ap.parse_args()
    # Docker's attach stream moves about 55 MiB/s here: 2 GiB turns would take 40 s each.
    size_text = args.size or ("2G,4G" if args.backend == "local" else "512M")
    sizes = [parse_size(s) for s in size_text.split(",") if s.strip()]
    dirs = args.dir or default_dirs()

    daemon = None
    if args.backend == "docker" and not os.environ.get("DOCKER_HOST"):
        sys.path.insert(0, str(REPO / "scripts"))
        import dockerd  # noqa: E402

        reason = dockerd.cannot_run_reason()
        if reason:
            sys.exit(f"set DOCKER_HOST to a running daemon ({reason})")
        daemon = dockerd.Daemon.start()
        os.environ["DOCKER_HOST"] = daemon.host
    targets = Targets()
    try:
        for where in dirs:
            for size in sizes:
                measure(where, size, args.backend, args.turns, targets)
    finally:
        if daemon:
            daemon.stop()
    return targets.status()


if __name__ == "__main__":
    sys.exit(main())
