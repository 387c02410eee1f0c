"""The local rivo's docker backend against a fake `docker` first on PATH.

The fake keeps a tiny image store (one file per image holding what
`docker image inspect -f '{{.Id}}{{range .RepoDigests}} {{.}}{{end}}'` prints)
and a record of running containers; every call is logged. Runs against a
real daemon are in the container end-to-end tests.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest
from helpers import REPO, link_local_rivo, needs_local_rivo, tomllib

from tavro.helpers.rivo import RIVO

pytestmark = needs_local_rivo()

FAKE_DOCKER = r"""#!/bin/sh
state=$FAKE_DOCKER_STATE
printf '%s\n' "$*" >> "$state/log"
key() { printf '%s' "$1" | tr '/:@' '___'; }
case "$1" in
  info) exit 0 ;;
  image)
    f="$state/images/$(key "$5")"
    if [ -f "$f" ]; then cat "$f"; exit 0; fi
    echo "Error: No such image: $5" >&2; exit 1 ;;
  pull)
    [ -n "$FAKE_DOCKER_PULL_FAIL" ] && { echo "pull denied" >&2; exit 1; }
    echo "sha256:1d$(key "$2") ${2%:*}@sha256:beef" > "$state/images/$(key "$2")"
    echo "pulled $2"; exit 0 ;;
  run)
    shift; name=""; image=""
    while [ $# -gt 0 ]; do
      case "$1" in
        --name) name=$2; shift 2 ;;
        -v|-w|-e|--user|--gpus|--cpus|--memory|--memory-swap) shift 2 ;;
        -*) shift ;;
        *) image=$1; shift; break ;;
      esac
    done
    echo "$image" > "$state/ran"
    [ -n "$name" ] && : > "$state/running/$name"
    # A client whose container ignores SIGTERM: it only ends once the
    # container is killed.
    trap '' TERM INT HUP
    if [ "$FAKE_DOCKER_RUN" = hang ]; then
      while [ -f "$state/running/$name" ]; do sleep 0.05; done
      exit 137
    fi
    "$@"; rc=$?; rm -f "$state/running/$name"; exit $rc ;;
  inspect) echo "${FAKE_DOCKER_OOM:-false}"; exit 0 ;;
  kill) rm -f "$state/running/$2"; exit 0 ;;
  rm) exit 0 ;;
esac
echo "fake docker: unexpected $*" >&2; exit 2
"""


class FakeDocker:
    def __init__(self, root: Path):
        self.state = root
        (root / "images").mkdir(parents=True)
        (root / "running").mkdir()
        (root / "log").write_text("")

    def have(self, image: str, inspect_text: str) -> None:
        key = image.replace("/", "_").replace(":", "_").replace("@", "_")
        (self.state / "images" / key).write_text(inspect_text + "\n")

    @property
    def calls(self) -> list[list[str]]:
        return [line.split(" ") for line in (self.state / "log").read_text().splitlines()]

    def verbs(self) -> list[str]:
        return [c[0] if c[0] != "image" else "inspect" for c in self.calls]

    @property
    def running(self) -> list[str]:
        return sorted(p.name for p in (self.state / "running").iterdir())


@pytest.fixture
def docker(tmp_path, bindir, monkeypatch, isolated_tmp):
    link_local_rivo(bindir, docker=FAKE_DOCKER)
    reg = tmp_path / "registry"
    reg.mkdir()
    (reg / "aligner.toml").write_text('image = "reg.example/lab/aligner:1"\nbinaries = ["aligner"]\n')
    (reg / "sorter.toml").write_text('image = "reg.example/lab/sorter:2"\nbinaries = ["samtools"]\n')
    monkeypatch.setenv("RIVO_REGISTRY", str(reg))
    monkeypatch.delenv("RIVO_BACKEND", raising=False)
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    monkeypatch.setenv("FAKE_DOCKER_STATE", str(tmp_path / "docker"))
    monkeypatch.chdir(tmp_path)
    return FakeDocker(tmp_path / "docker")


def rivo(*args, check=True):
    cp = subprocess.run(["rivo", *args], capture_output=True, text=True, timeout=30)
    if check:
        assert cp.returncode == 0, cp.stderr
    return cp


def lock(path=Path(".")):
    return tomllib.loads((path / "rivo.lock").read_text())["tools"]


def test_add_and_sync_pull_only_missing_images_and_lock_their_identity(docker):
    docker.have("reg.example/lab/sorter:2",
                "sha256:5e1d other.example/x@sha256:0ther reg.example/lab/sorter@sha256:50rt")
    rivo("--backend", "docker", "add", "aligner", "sorter")
    pulls = [c for c in docker.calls if c[0] == "pull"]
    assert pulls == [["pull", "reg.example/lab/aligner:1"]]
    tools = lock()
    assert tools["aligner"]["image_digest"] == "sha256:beef"      # the pulled image's repo digest
    assert tools["sorter"]["image_digest"] == "sha256:50rt"       # its own repository's digest wins
    rivo("sync", "--backend", "docker")
    rivo("sync", "--backend", "docker", "--frozen")
    rivo("lock", "--check")
    assert [c for c in docker.calls if c[0] == "pull"] == pulls   # nothing pulled again


def test_image_without_repo_digest_is_locked_by_its_id(docker):
    docker.have("reg.example/lab/aligner:1", "sha256:1a2b3c")
    rivo("--backend", "docker", "add", "aligner")
    assert lock()["aligner"]["image_digest"] == "sha256:1a2b3c"
    assert "Image digest: sha256:1a2b3c" in rivo("info", "aligner").stdout
    assert "pull" not in docker.verbs()


def test_local_backend_records_no_image_digest(docker):
    rivo("--backend", "local", "add", "aligner")
    entry = lock()["aligner"]
    assert "image_digest" not in entry
    assert entry["definition_digest"].startswith("sha256:")
    assert "Image digest: -" in rivo("info", "aligner").stdout
    assert docker.calls == []


def test_frozen_sync_never_pulls_a_missing_image(docker):
    rivo("--backend", "docker", "add", "aligner")
    (docker.state / "images").joinpath("reg.example_lab_aligner_1").unlink()  # e.g. after docker rmi
    before = len(docker.calls)
    cp = rivo("sync", "--backend", "docker", "--frozen", check=False)
    assert cp.returncode == 1
    assert "reg.example/lab/aligner:1" in cp.stderr and "--frozen" in cp.stderr
    assert "pull" not in [c[0] for c in docker.calls[before:]]
    rivo("sync", "--backend", "docker")                          # without --frozen it pulls
    assert docker.calls[-1][0] != "pull" and ["pull", "reg.example/lab/aligner:1"] in docker.calls[before:]


def test_failed_pull_changes_no_project_file(docker, monkeypatch):
    monkeypatch.setenv("FAKE_DOCKER_PULL_FAIL", "1")
    cp = rivo("--backend", "docker", "add", "aligner", check=False)
    assert cp.returncode == 1 and "docker pull reg.example/lab/aligner:1 failed" in cp.stderr
    assert not Path("rivo.lock").exists()


@pytest.mark.parametrize(
    "line, image",
    [
        ("samtools view -h in.bam > out.sam", "reg.example/lab/sorter:2"),
        ("cd /workspace && X=1 exec aligner -t 2 ref.fa", "reg.example/lab/aligner:1"),
        ("cat in.sam | samtools sort -o out.bam", "reg.example/lab/sorter:2"),
        ("echo hi; true", None),
    ],
)
def test_shell_line_runs_in_the_image_of_its_first_provided_command(docker, line, image):
    rivo("--backend", "docker", "add", "aligner", "sorter")
    cp = rivo("exec", "--", "bash", "-c", line, check=False)
    if image:
        assert (docker.state / "ran").read_text().strip() == image, cp.stderr
    else:
        assert cp.returncode == 1
        assert "aligner, sorter" in cp.stderr and "echo hi" in cp.stderr
        assert not (docker.state / "ran").exists()


def test_single_tool_runs_any_line(docker):
    rivo("--backend", "docker", "add", "aligner")
    rivo("exec", "--", "bash", "-c", "echo hi; true")
    assert (docker.state / "ran").read_text().strip() == "reg.example/lab/aligner:1"


def test_time_limit_stops_and_removes_the_container(docker, monkeypatch):
    rivo("--backend", "docker", "add", "aligner")
    monkeypatch.setenv("FAKE_DOCKER_RUN", "hang")
    t0 = time.monotonic()
    with pytest.raises(RuntimeError, match="timed out after 1s"):
        RIVO()._run(["exec", "--", "sh", "-c", "sleep 100"], timeout=1, cwd=os.getcwd())
    assert time.monotonic() - t0 < 5
    run = next(c for c in docker.calls if c[0] == "run")
    assert "--init" in run
    name = run[run.index("--name") + 1]
    assert ["kill", name] in docker.calls and ["rm", "-f", name] in docker.calls
    assert docker.calls.index(["kill", name]) < docker.calls.index(["rm", "-f", name])
    assert docker.running == []


CPUS = str(os.sysconf("SC_NPROCESSORS_ONLN"))


@pytest.mark.parametrize(
    "overrides, flags",
    [
        ({}, ["--cpus", "1", "--memory", "67108864", "--memory-swap", "67108864"]),
        ({"RIVO_CPUS": "0.5", "RIVO_MEMORY": "128 MiB"},
         ["--cpus", "0.5", "--memory", "134217728", "--memory-swap", "134217728"]),
        ({"RIVO_CPUS": "64"}, ["--cpus", CPUS, "--memory", "67108864"]),  # no more than the machine has
    ],
)
def test_resources_become_container_limits(docker, monkeypatch, overrides, flags):
    shutil.copy(REPO / "tests" / "data" / "registry" / "bounded_shell.toml", os.environ["RIVO_REGISTRY"])
    rivo("--backend", "docker", "add", "bounded_shell", "aligner")
    for k, v in overrides.items():
        monkeypatch.setenv(k, v)
    rivo("exec", "sh", "-c", "true")
    run = next(c for c in docker.calls if c[0] == "run")
    assert " ".join(flags) in " ".join(run)
    # Kept until rivo knows whether memory killed it, then removed by rivo.
    assert "--rm" not in run and docker.calls[-1] == ["rm", "-f", run[run.index("--name") + 1]]
    assert ["run", "rm"] == docker.verbs()[-2:]  # a tool that succeeded was not killed: no inspect

    for k in overrides:
        monkeypatch.delenv(k)
    rivo("exec", "aligner", check=False)  # a tool without resources: no limits, removed by the daemon
    run = [c for c in docker.calls if c[0] == "run"][-1]
    assert "--rm" in run and "--memory" not in run and "--cpus" not in run
    assert docker.calls[-1][0] == "run"


def test_container_killed_for_memory_is_reported_once(docker, monkeypatch):
    shutil.copy(REPO / "tests" / "data" / "registry" / "bounded_shell.toml", os.environ["RIVO_REGISTRY"])
    rivo("--backend", "docker", "add", "bounded_shell")
    cmd = ["exec", "sh", "-c", "echo partial; echo 'tool said' >&2; exit 137"]
    monkeypatch.setenv("FAKE_DOCKER_OOM", "true")
    cp = rivo(*cmd, check=False)
    assert (cp.returncode, cp.stdout) == (137, "partial\n")
    assert cp.stderr == ("tool said\n"
                         "rivo: out of memory: the tool was killed at its memory limit of 64 MiB\n")
    assert docker.verbs()[-3:] == ["run", "inspect", "rm"]  # inspected before it was removed
    monkeypatch.setenv("FAKE_DOCKER_OOM", "false")  # 137 alone (docker kill, a time limit) is no proof
    cp = rivo(*cmd, check=False)
    assert cp.returncode == 137 and "out of memory" not in cp.stderr
