#!/usr/bin/env python3
"""Container images made from the host's own tools, without any registry.

Each image is a minimal root file system: the tool's programs, the shared
libraries `ldd` lists for them, /bin/sh, bash and a few utilities (find, ls,
cat, sleep, head, readlink), loaded with `docker import` and tagged with the
image reference that the registry definitions name. Several definitions
naming one image (samtools sort, view, flagstat) share it; it holds the
union of their `binaries`.

    python3 scripts/images.py [--registry DIR] [--force]   # into the daemon of $DOCKER_HOST
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

try:
    import tomllib
except ImportError:  # Python 3.10
    import tomli as tomllib

REPO = Path(__file__).resolve().parent.parent
CLIENT = "/usr/bin/docker"  # Debian's client: same release as Debian's daemon
BASE_PROGRAMS = ("sh", "bash", "find", "ls", "cat", "sleep", "head", "readlink")
# Loaded with dlopen, so `ldd` does not list it: glibc needs it to end threads.
DLOPENED = ("libgcc_s.so.1",)
HELLO = '#!/bin/sh\necho "Hello from Docker! (a locally built hello-world)"\n'


def definitions(registry: Path = REPO / "registry") -> dict:
    """Image reference -> sorted programs that the definitions naming it need."""
    out: dict = {}
    for f in sorted(Path(registry).glob("*.toml")):
        d = tomllib.loads(f.read_text())
        if not d.get("image"):
            continue
        progs = d.get("binaries") or [os.path.basename(d.get("entrypoint") or f.stem)]
        out.setdefault(d["image"], set()).update(progs)
    return {ref: sorted(p) for ref, p in out.items()}


def _copy(src: str, root: Path, dest: str) -> None:
    target = root / dest.lstrip("/")
    if target.exists():
        return
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy2(src, target)  # follows links: the image gets the real file


def _libraries(exe: str) -> list:
    out = subprocess.run(["ldd", exe], capture_output=True, text=True).stdout
    libs = []
    for line in out.splitlines():
        parts = line.split()
        if "=>" in parts and len(parts) > parts.index("=>") + 1:
            path = parts[parts.index("=>") + 1]
        elif parts and parts[0].startswith("/"):
            path = parts[0]
        else:
            continue
        if path.startswith("/"):
            libs.append(path)
    return libs


def _dlopened() -> list:
    out = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout
    found = {}
    for line in out.splitlines():
        name, _, path = line.strip().partition(" => ")
        name = name.split(" ", 1)[0]
        if name in DLOPENED and "x86-64" in line and name not in found:
            found[name] = path.strip()
    return list(found.values())


def rootfs(folder: Path, programs) -> Path:
    """Fill ``folder`` with the programs (under /usr/bin), their libraries and /tmp."""
    folder = Path(folder)
    for d in ("usr/bin", "usr/lib", "usr/lib64", "usr/sbin", "tmp", "etc", "workspace"):
        (folder / d).mkdir(parents=True, exist_ok=True)
    (folder / "tmp").chmod(0o1777)
    for link in ("bin", "lib", "lib64", "sbin"):  # merged /usr, as on the host
        if not (folder / link).is_symlink():
            (folder / link).symlink_to(f"usr/{link}")
    for name in dict.fromkeys([*BASE_PROGRAMS, *programs]):
        exe = shutil.which(name)
        if not exe:
            raise FileNotFoundError(f"{name} is not installed on this machine")
        _copy(exe, folder, f"/usr/bin/{name}")
        for lib in _libraries(exe):
            _copy(lib, folder, lib)
    for lib in _dlopened():
        _copy(lib, folder, lib)
    return folder


def import_image(folder: Path, ref: str, env: dict, cmd: str | None = None) -> str:
    """Load ``folder`` as image ``ref``; returns the image ID."""
    changes = ["-c", "ENV PATH=/usr/bin:/bin"] + (["-c", f"CMD {cmd}"] if cmd else [])
    tar = subprocess.Popen(["tar", "-C", str(folder), "-c", "."], stdout=subprocess.PIPE)
    try:
        res = subprocess.run([CLIENT, "import", *changes, "-", ref], stdin=tar.stdout,
                             capture_output=True, text=True, env=env, timeout=300)
    finally:
        tar.stdout.close()
        tar.wait()
    if res.returncode != 0:
        raise RuntimeError(f"docker import {ref} failed: {res.stderr.strip()}")
    image_id = res.stdout.strip().splitlines()[-1]
    # Engine 20.10 may leave an import onto an existing tag untagged: tag again.
    subprocess.run([CLIENT, "tag", image_id, ref], env=env, check=True, capture_output=True)
    return image_id


def has_image(ref: str, env: dict) -> bool:
    return subprocess.run([CLIENT, "image", "inspect", ref], env=env,
                          capture_output=True).returncode == 0


def build(ref: str, programs, env: dict, cmd: str | None = None, extra: dict | None = None) -> str:
    with tempfile.TemporaryDirectory(prefix="tavro-image-") as tmp:
        root = rootfs(Path(tmp), programs)
        for rel, text in (extra or {}).items():
            p = root / rel
            p.write_text(text)
            p.chmod(0o755)
        return import_image(root, ref, env, cmd)


def build_registry_images(env: dict, registry: Path = REPO / "registry", force: bool = False) -> list:
    """One image per reference the definitions name; existing ones are kept unless ``force``."""
    built = []
    for ref, programs in definitions(registry).items():
        if force or not has_image(ref, env):
            build(ref, programs, env)
            built.append(ref)
    return built


def build_hello_world(daemon, ref: str) -> str:
    """A tiny image that prints a greeting, like the public hello-world."""
    return build(ref, [], daemon.env, cmd='["/hello"]', extra={"hello": HELLO})


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--registry", default=str(REPO / "registry"), help="tool definitions folder")
    ap.add_argument("--force", action="store_true", help="rebuild images that exist already")
    args = ap.parse_args()
    if not os.environ.get("DOCKER_HOST"):
        print("DOCKER_HOST is not set: start a daemon with scripts/dockerd.py start", file=sys.stderr)
        return 2
    for ref in build_registry_images(dict(os.environ), Path(args.registry), args.force):
        print(f"built {ref}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
