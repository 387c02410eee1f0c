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
import shutil
import socket
import time
from pathlib import Path

import pytest
from helpers import (align_sort_flagstat, manifest, needs_local_rivo, private_root_skip_reason,
                     run_example_pipeline, run_in_private_root, tomllib)

from tavro.helpers.rivo import RIVO

MINIMAP2_IMAGE = "quay.io/biocontainers/minimap2:2.24--h7132678_1"
SAMTOOLS_IMAGE = "quay.io/biocontainers/samtools:1.16.1--h6899075_1"

pytestmark = [
    pytest.mark.docker,
    needs_local_rivo("local rivo not built (toml++/CLI11 missing)"),
]


@pytest.fixture
def hosted(docker_env, local_rivo_path, tmp_path, monkeypatch, isolated_tmp):
    """The hosted setting on a private volume, the local rivo and the registry's images."""
    monkeypatch.delenv("RIVO_BACKEND", raising=False)
    vol = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    return vol


def started_containers(daemon, since: float) -> int:
    out = daemon.docker("events", "--since", f"{since:.3f}", "--until", f"{time.time():.3f}",
                        "--filter", "event=start", "--format", "{{.ID}}").stdout
    return len(out.split())


def test_align_sort_flagstat_chain_in_containers(hosted, docker_env, genome, tmp_path, isolated_tmp):
    r = RIVO(backend="docker")
    since = time.time()
    r.add("minimap2", "samtools_sort", "samtools_flagstat")
    lock = tomllib.loads((hosted / ".rivo_home" / "rivo.lock").read_text())["tools"]
    assert {t["backend"] for t in lock.values()} == {"docker"}
    image_id = docker_env.docker("image", "inspect", "-f", "{{.Id}}", MINIMAP2_IMAGE).stdout.strip()
    assert lock["minimap2"]["image_digest"] == image_id  # a local import: no repository digest
    assert sorted(p.name for p in (hosted / ".image_cache").iterdir()) == [
        "minimap2.tar", "samtools_flagstat.tar", "samtools_sort.tar"]

    align_sort_flagstat(r, genome, tmp_path)
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
    assert str(info.value) == "rivo exec -- sh -c sleep 100 timed out after 3s — the tool did not finish within the time limit"
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
    since = time.time()
    out = run_example_pipeline("docker", tmp_path / "w", timeout=110,
                               drop_env=("PIPELINE_VOLUME_PATH", "RIVO_BACKEND"))
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
    reason = private_root_skip_reason()
    if reason:
        pytest.skip(reason)
    system = hashlib.sha256(Path("/usr/bin/docker").read_bytes()).hexdigest()
    res = run_in_private_root(tmp_path, HOSTED_SCRIPT, MINIMAP2_IMAGE, rbind=("proc", "dev", "sys"),
                              bind=str(docker_env.root), timeout=110)
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
