"""Tools in real containers: the private Docker daemon of conftest, images built
from the host's own programs, the local rivo with its docker backend.

Lean scenario tests: the example chain, a time-out, the image cache, Docker
readiness and the hosted wrapper (in a private mount namespace), and the
relocation search inside a real image.
"""

from __future__ import annotations

import hashlib
import json
import logging
import os
import random
import shutil
import socket
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

try:
    import tomllib
except ImportError:  # Python 3.10
    import tomli as tomllib

import tavro.helpers.rivo as rivo_mod
from tavro.helpers.rivo import RIVO

REPO = Path(__file__).resolve().parent.parent
LOCAL_RIVO = Path(rivo_mod.__file__).parent / "_bin" / "rivo"
MINIMAP2_IMAGE = "quay.io/biocontainers/minimap2:2.24--h7132678_1"
SAMTOOLS_IMAGE = "quay.io/biocontainers/samtools:1.16.1--h6899075_1"

pytestmark = [
    pytest.mark.docker,
    pytest.mark.skipif(not LOCAL_RIVO.exists(), reason="local rivo not built (toml++/CLI11 missing)"),
]


@pytest.fixture
def hosted(docker_env, tmp_path, monkeypatch, isolated_tmp):
    """The hosted setting on a private volume, the local rivo and the registry's images."""
    bindir = tmp_path / "rivo-bin"
    bindir.mkdir()
    (bindir / "rivo").symlink_to(LOCAL_RIVO)
    monkeypatch.setenv("PATH", f"{bindir}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("RIVO_REGISTRY", str(REPO / "registry"))
    monkeypatch.delenv("RIVO_BACKEND", raising=False)
    vol = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    return vol


def started_containers(daemon, since: float) -> int:
    out = daemon.docker("events", "--since", f"{since:.3f}", "--until", f"{time.time():.3f}",
                        "--filter", "event=start", "--format", "{{.ID}}").stdout
    return len(out.split())


def manifest(r: RIVO, tool: str) -> dict:
    m = r.parse_show(tool)
    schema = json.loads(r.show(tool, "json").stdout)
    m.update({k: schema[k] for k in ("inputs", "outputs") if k in schema})
    return m


@pytest.fixture
def genome(tmp_path):
    rng = random.Random(1)
    seq = "".join(rng.choice("ACGT") for _ in range(5000))
    ref = tmp_path / "data" / "ref.fa"
    ref.parent.mkdir()
    ref.write_text(">chr1\n" + seq + "\n")
    reads = tmp_path / "data" / "reads.fq"
    with reads.open("w") as fh:
        for i in range(50):
            s = rng.randrange(0, 4800)
            fh.write(f"@r{i}\n{seq[s:s + 100]}\n+\n{'I' * 100}\n")
    return ref, reads


def test_align_sort_flagstat_chain_in_containers(hosted, docker_env, genome, tmp_path, isolated_tmp):
    ref, reads = genome
    r = RIVO(backend="docker")
    since = time.time()
    r.add("minimap2", "samtools_sort", "samtools_flagstat")
    lock = tomllib.loads((hosted / ".rivo_home" / "rivo.lock").read_text())["tools"]
    assert {t["backend"] for t in lock.values()} == {"docker"}
    image_id = docker_env.docker("image", "inspect", "-f", "{{.Id}}", MINIMAP2_IMAGE).stdout.strip()
    assert lock["minimap2"]["image_digest"] == image_id  # a local import: no repository digest
    assert sorted(p.name for p in (hosted / ".image_cache").iterdir()) == [
        "minimap2.tar", "samtools_flagstat.tar", "samtools_sort.tar"]

    aligned = r.run("minimap2", manifest(r, "minimap2"),
                    {"reference": str(ref), "reads": str(reads)}, str(tmp_path / "o1"))
    sam = Path(aligned["alignment"])
    assert sam == tmp_path / "o1" / "alignment"
    assert sam.read_text().startswith("@SQ\tSN:chr1")
    assert ref.read_text().startswith(">chr1")  # inputs untouched
    sorted_ = r.run("samtools_sort", manifest(r, "samtools_sort"), {"alignment": str(sam)},
                    str(tmp_path / "o2"))
    bam = Path(sorted_["sorted"])
    assert bam.read_bytes()[:2] == b"\x1f\x8b"  # BGZF
    stats = r.run("samtools_flagstat", manifest(r, "samtools_flagstat"), {"bam": str(bam)},
                  str(tmp_path / "o3"))
    report = Path(stats["stats"]).read_text()
    assert "50 + 0 in total" in report and "mapped (" in report
    assert started_containers(docker_env, since) == 3  # every tool ran in a container

    bad = tmp_path / "bad.sam"
    bad.write_text("this is not a SAM file\n")
    with pytest.raises(RuntimeError) as info:
        r.run("samtools_sort", manifest(r, "samtools_sort"), {"alignment": str(bad)}, str(tmp_path / "o4"))
    assert "rivo exec samtools sort -o sorted bad.sam failed" in str(info.value)
    assert "samtools" in str(info.value).split("STDERR: ", 1)[1]
    kept = list((isolated_tmp / "tavro_sandboxes").iterdir())
    assert len(kept) == 1 and kept[0].name.startswith("run-samtools_sort-")
    assert docker_env.docker("ps", "-aq").stdout == ""


def test_timeout_stops_the_container(hosted, docker_env):
    RIVO(backend="docker").add("minimap2")
    start = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        RIVO()._run(["exec", "--", "sh", "-c", "sleep 100"], timeout=3)
    elapsed = time.monotonic() - start
    assert str(info.value) == "rivo exec -- sh -c sleep 100 timed out after 3s — image pull may have stalled"
    assert elapsed < 10
    assert docker_env.docker("ps", "-aq").stdout == ""


OFFLINE_DOCKER = """#!/bin/sh
echo "$*" >> "{log}"
if [ "$1" = pull ]; then
    echo "Error response from daemon: dial tcp: connect: network is unreachable" >&2
    exit 1
fi
exec "{client}" "$@"
"""


def test_image_cache_restores_offline_and_sync(hosted, docker_env, tmp_path):
    r = RIVO(backend="docker")
    r.add("minimap2")
    tar = hosted / ".image_cache" / "minimap2.tar"
    assert tar.is_file() and tar.stat().st_size > 1_000_000
    saved = tar.stat().st_mtime_ns

    docker_env.docker("rmi", MINIMAP2_IMAGE)
    log = tmp_path / "docker-calls.log"
    offline = tmp_path / "offline-bin"
    offline.mkdir()
    (offline / "docker").write_text(OFFLINE_DOCKER.format(log=log, client=os.path.realpath(
        shutil.which("docker"))))
    (offline / "docker").chmod(0o755)
    os.environ["PATH"] = f"{offline}{os.pathsep}{os.environ['PATH']}"  # undone by monkeypatch

    again = RIVO(backend="docker")
    again.add("minimap2")
    calls = log.read_text().splitlines()
    assert any(c.startswith("load -i ") and c.endswith("minimap2.tar") for c in calls)
    assert not any(c.startswith("pull") for c in calls)
    assert docker_env.docker("image", "inspect", MINIMAP2_IMAGE, check=False).returncode == 0
    assert tar.stat().st_mtime_ns == saved  # a finished archive is never rewritten

    again.sync()
    again.sync(frozen=True)
    assert not any(c.startswith("pull") for c in log.read_text().splitlines())

    # A missing image: --frozen never pulls it silently; a plain sync pulls it
    # (and fails here, offline, with the pull's error).
    docker_env.docker("rmi", MINIMAP2_IMAGE)
    with pytest.raises(RuntimeError) as info:
        again.sync(frozen=True)
    assert "rivo sync --backend docker --frozen failed" in str(info.value)
    assert "minimap2" in str(info.value).split("STDERR: ", 1)[1]
    assert not any(c.startswith("pull") for c in log.read_text().splitlines())
    with pytest.raises(RuntimeError, match="network is unreachable"):
        again.sync()
    assert any(c.startswith("pull") and MINIMAP2_IMAGE in c for c in log.read_text().splitlines())


def test_example_pipeline_in_containers(docker_env, tmp_path):
    env = {k: v for k, v in os.environ.items()
           if k not in ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY",
                        "PIPELINE_VOLUME_PATH", "RIVO_BACKEND")}
    since = time.time()
    out = subprocess.run(
        [sys.executable, str(REPO / "examples" / "pipeline.py"), "--backend", "docker",
         "--workdir", str(tmp_path / "w")],
        capture_output=True, text=True, env=env, timeout=110,
    )
    assert out.returncode == 0, out.stderr
    assert "400 + 0 mapped (100.00% : N/A)" in out.stdout
    assert started_containers(docker_env, since) == 4  # align, fasta, sort, stats


def test_wait_for_docker_local_mode(docker_env, tmp_path, monkeypatch, caplog):
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    caplog.set_level(logging.DEBUG, logger="tavro.helpers.rivo")
    RIVO().wait_for_docker(timeout=30)
    assert "Docker daemon ready (local mode)" in [r.msg for r in caplog.records]

    # A stopped daemon leaves its socket file behind with nobody listening.
    stale = tmp_path / "stopped.sock"
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(stale))
    monkeypatch.setenv("DOCKER_HOST", f"unix://{stale}")
    start = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        RIVO().wait_for_docker(timeout=3)
    assert str(info.value) == ("Docker is installed but the daemon is not running. "
                               "Start Docker Desktop or run `sudo systemctl start docker`.")
    assert time.monotonic() - start < 10


# ------------------------------------------ the hosted setting, real paths, isolated

NAMESPACE_SETUP = r"""
set -e
mount -t tmpfs tmpfs "$T"
mkdir "$T/upper" "$T/work" "$T/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$T/upper,workdir=$T/work" "$T/root"
for d in proc dev sys; do mount --rbind "/$d" "$T/root/$d"; done
mount --bind "$DAEMON_ROOT" "$T/root$DAEMON_ROOT"
touch "$T/root/.tavro-private-root"
exec chroot "$T/root" "$PY" "$SCRIPT"
"""

HOSTED_SCRIPT = r"""
import hashlib, json, os, subprocess, sys
if not os.path.exists("/.tavro-private-root"):
    sys.exit(97)  # never run outside the private root
os.environ["PATH"] = "/usr/bin:/bin:/usr/sbin:/sbin"
os.environ["PIPELINE_VOLUME_PATH"] = "/vol"
digest = lambda p: hashlib.sha256(open(p, "rb").read()).hexdigest()
before = digest("/usr/bin/docker")
from tavro.helpers.rivo import RIVO
r = RIVO()
r.wait_for_docker(timeout=60)
image = sys.argv[1]
run = subprocess.run(["docker", "run", "--rm", image, "readlink", "/proc/self/ns/net"],
                     capture_output=True, text=True)
print(json.dumps({
    "real_is_client": digest("/usr/bin/docker.real") == before,
    "wrapper": open("/usr/bin/docker").read(),
    "vol_wrapper": open("/vol/bin/docker").read(),
    "hello": subprocess.run(["docker", "image", "inspect", "hello-world"]).returncode,
    "run": [run.returncode, run.stdout.strip(), run.stderr[-500:]],
    "host_netns": os.readlink("/proc/self/ns/net"),
    "relocated": r._fix_stale_abs_paths(["-x", "/opt/gone/minimap2"], {"image": image}, dict(os.environ)),
    "real_docker": r._real_docker(),
}))
"""


def test_hosted_wrapper_over_real_docker_in_private_namespace(docker_env, tmp_path):
    if not shutil.which("unshare") or not shutil.which("chroot"):
        pytest.skip("unshare/chroot not available")
    for p in ("/usr/bin/docker.real", "/vol"):
        if os.path.lexists(p):
            pytest.skip(f"{p} exists on this machine")
    system = hashlib.sha256(Path("/usr/bin/docker").read_bytes()).hexdigest()
    script = tmp_path / "inside.py"
    script.write_text(textwrap.dedent(HOSTED_SCRIPT))
    ns = tmp_path / "ns"
    ns.mkdir()
    env = dict(os.environ, T=str(ns), PY=sys.executable, DAEMON_ROOT=str(docker_env.root),
               SCRIPT=str(script))
    res = subprocess.run(["unshare", "-m", "--propagation", "private", "bash", "-c",
                          NAMESPACE_SETUP.replace('"$SCRIPT"', f'"$SCRIPT" "{MINIMAP2_IMAGE}"')],
                         env=env, capture_output=True, text=True, timeout=110)
    if res.returncode != 0 and not res.stdout:
        pytest.fail(f"private mount namespace failed: {res.stderr.strip()[-800:]}")
    assert res.returncode == 0, res.stderr
    out = json.loads(res.stdout.splitlines()[-1])
    assert out["hello"] == 0  # the network probe pulled hello-world through the mirror
    assert out["real_is_client"]
    assert out["wrapper"].startswith('#!/bin/bash\nREAL_DOCKER="/usr/bin/docker.real"\n')
    assert out["vol_wrapper"] == out["wrapper"]
    assert out["run"][:2] == [0, out["host_netns"]], out["run"]  # host networking, really
    assert out["relocated"] == ["-x", "/usr/bin/minimap2"]
    assert out["real_docker"] == "/usr/bin/docker.real"
    # nothing leaked out of the namespace
    assert not os.path.lexists("/vol") and not os.path.lexists("/usr/bin/docker.real")
    assert hashlib.sha256(Path("/usr/bin/docker").read_bytes()).hexdigest() == system
    assert docker_env.docker("ps", "-aq").stdout == ""
