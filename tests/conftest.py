"""Shared fixtures: fake external commands first on PATH, isolated temp dirs."""

from __future__ import annotations

import json
import logging
import os
import random
import stat
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

# The host's own modules (tavro.node, tavro.helpers.paths) are stand-ins kept
# in tests/host, never installed with the package: on the path of this
# interpreter and of every Python child the tests start.
HOST = Path(__file__).resolve().parent / "host"
sys.path.insert(0, str(HOST))
os.environ["PYTHONPATH"] = os.pathsep.join(
    [str(HOST)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
)

pytest.register_assert_rewrite("helpers")

from helpers import REPO, link_local_rivo  # noqa: E402

FAKE_RIVO = r'''#!{python}
# Fake rivo: records each call, then behaves as FAKE_RIVO_SCRIPT says.
import json, os, sys
log = os.environ.get("FAKE_RIVO_LOG")
if log:
    with open(log, "a") as fh:
        fh.write(json.dumps({{"argv": sys.argv[1:], "cwd": os.getcwd(),
                             "env": dict(os.environ)}}) + "\n")
args = sys.argv[1:]
script = os.environ.get("FAKE_RIVO_SCRIPT")
if script and os.path.exists(script):
    exec(compile(open(script).read(), script, "exec"))
if args[:1] == ["exec"]:
    rest = args[1:]
    if rest[:1] == ["--"]:
        rest = rest[1:]
    os.execvp(rest[0], rest)
'''


FAKE_DOCKER = r'''#!{python}
# Fake docker: records each call (the whole argv and the environment) in
# `log`, runs the behaviour in {script!r} if there is one, then by default:
# `save IMAGE -o FILE` writes an archive, `run ... find / -name NAME ...`
# prints what FAKE_HITS (JSON in the environment) names for NAME and exits 1
# as a find meeting unreadable folders does, everything else exits 0.
import json, os, sys
log = {log!r}
with open(log, "a") as fh:
    fh.write(json.dumps({{"argv": sys.argv, "env": dict(os.environ)}}) + "\n")
args = sys.argv[1:]
if os.path.exists({script!r}):
    exec(compile(open({script!r}).read(), {script!r}, "exec"))
if args[:1] == ["save"]:
    with open(args[args.index("-o") + 1], "w") as fh:
        fh.write("archive of " + args[1])
if args[:1] == ["run"] and "-name" in args:
    hits = json.loads(os.environ.get("FAKE_HITS", "{{}}"))
    sys.stdout.write(hits.get(args[args.index("-name") + 1], ""))
    print("find: /proc/1: Permission denied", file=sys.stderr)
    sys.exit(1)
'''


def write_exe(path: Path, text: str) -> Path:
    path.write_text(text)
    path.chmod(path.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return path


class FakeRivo:
    """A `rivo` first on PATH.

    Every call is appended to ``log`` as JSON (argv, cwd, env). ``exec`` runs
    the rest of its arguments in the working directory, so small shell
    scripts act as tools. ``behave(code)`` installs Python code that runs
    before that default handling (``args`` holds the arguments).
    """

    def __init__(self, bindir: Path, tmp: Path):
        self.bindir = bindir
        self.log = tmp / "rivo_calls.jsonl"
        self.script = tmp / "rivo_behaviour.py"
        write_exe(bindir / "rivo", FAKE_RIVO.format(python=sys.executable))

    def behave(self, code: str) -> None:
        self.script.write_text(textwrap.dedent(code))

    @property
    def calls(self) -> list[dict]:
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]


class FakeDocker:
    """A Python script standing in for the Docker command line at ``path``.

    ``calls`` are the argument lists it was given (program name left out),
    ``records`` the whole argv and environment of each call; ``behave(code)``
    installs Python code that runs first (``args`` holds the arguments).
    """

    def __init__(self, path: Path, tmp: Path):
        self.path = str(path)
        self.log = tmp / f"{path.name}_calls.jsonl"
        self.script = tmp / f"{path.name}_behaviour.py"
        write_exe(path, FAKE_DOCKER.format(python=sys.executable, log=str(self.log), script=str(self.script)))

    def behave(self, code: str) -> None:
        self.script.write_text(textwrap.dedent(code))

    @property
    def records(self) -> list[dict]:
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]

    @property
    def calls(self) -> list[list[str]]:
        return [r["argv"][1:] for r in self.records]


@pytest.fixture
def docker(bindir, tmp_path) -> FakeDocker:
    """A fake `docker` first on PATH (see FakeDocker)."""
    return FakeDocker(bindir / "docker", tmp_path)


@pytest.fixture
def logs(caplog):
    """The records of the rivo module's logger as (level, template, args),
    all of them or those of one level."""
    caplog.set_level(logging.DEBUG, logger="tavro.helpers.rivo")

    def records(level=None):
        return [(r.levelname, r.msg, r.args) for r in caplog.records
                if r.name == "tavro.helpers.rivo" and (level is None or r.levelname == level)]

    return records


@pytest.fixture(autouse=True)
def offline_git(tmp_path_factory, monkeypatch):
    """No test reaches a remote Git registry (the built-in default is one):
    git may use local repositories only, and the local rivo keeps its
    registry clones in a folder of the test session."""
    monkeypatch.setenv("GIT_ALLOW_PROTOCOL", "file")
    monkeypatch.setenv("RIVO_CACHE_DIR", str(tmp_path_factory.getbasetemp() / "rivo-cache"))


@pytest.fixture
def bindir(tmp_path, monkeypatch) -> Path:
    d = tmp_path / "bin"
    d.mkdir()
    monkeypatch.setenv("PATH", f"{d}{os.pathsep}{os.environ.get('PATH', '')}")
    return d


@pytest.fixture
def isolated_tmp(tmp_path, monkeypatch) -> Path:
    """Point tempfile (sandboxes, rivo_ dirs) at a private folder."""
    import tempfile

    d = tmp_path / "systmp"
    d.mkdir()
    monkeypatch.setenv("TMPDIR", str(d))
    monkeypatch.setattr(tempfile, "tempdir", str(d))
    return d


@pytest.fixture
def fake_rivo(bindir, tmp_path, monkeypatch, isolated_tmp) -> FakeRivo:
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    monkeypatch.delenv("RIVO_REGISTRY", raising=False)
    fake = FakeRivo(bindir, tmp_path)
    monkeypatch.setenv("FAKE_RIVO_SCRIPT", str(fake.script))
    monkeypatch.setenv("FAKE_RIVO_LOG", str(fake.log))
    return fake


@pytest.fixture
def local_rivo_path(tmp_path, monkeypatch) -> Path:
    """The built local rivo first on PATH as `rivo`, with the repository's registry."""
    d = tmp_path / "rivo-bin"
    d.mkdir()
    link_local_rivo(d)
    monkeypatch.setenv("PATH", f"{d}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("RIVO_REGISTRY", str(REPO / "registry"))
    return d


@pytest.fixture
def genome(tmp_path):
    """A random 5 kb chr1 and 50 error-free 100 bp reads from it (data/ref.fa, data/reads.fq)."""
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


# --------------------------------------------------------- a private Docker daemon
#
# Started once per session, on first use, by scripts/dockerd.py: its own
# socket, roots and registry mirror under a temporary folder, tool images
# built from the host's programs (scripts/images.py). Never the machine's own
# daemon. Where it cannot start, the tests using it skip with the reason; with
# CI=true such a skip fails the run instead.

SCRIPTS = REPO / "scripts"


def _container_scripts():
    if str(SCRIPTS) not in sys.path:
        sys.path.insert(0, str(SCRIPTS))
    import dockerd
    import images

    return dockerd, images


@pytest.fixture(scope="session")
def docker_daemon():
    dockerd, images = _container_scripts()
    reason = dockerd.cannot_run_reason()
    if reason:
        pytest.skip(f"no private Docker daemon: {reason}")
    try:
        daemon = dockerd.Daemon.start()
    except (OSError, RuntimeError, subprocess.SubprocessError) as e:
        pytest.skip(f"no private Docker daemon: {e}")
    try:
        images.build_registry_images(daemon.env)
        yield daemon
    finally:
        daemon.stop()


@pytest.fixture
def docker_env(docker_daemon, tmp_path, monkeypatch):
    """DOCKER_HOST on the private daemon and Debian's client first on PATH as `docker`.

    After the test: no container is left, and the tool images are back if a
    test removed one.
    """
    _, images = _container_scripts()
    d = tmp_path / "docker-bin"
    d.mkdir()
    (d / "docker").symlink_to(images.CLIENT)
    for k in [k for k in os.environ if k.startswith("DOCKER_")]:
        monkeypatch.delenv(k)
    monkeypatch.setenv("DOCKER_HOST", docker_daemon.host)
    monkeypatch.setenv("PATH", f"{d}{os.pathsep}{os.environ.get('PATH', '')}")
    yield docker_daemon
    left = docker_daemon.docker("ps", "-aq", check=False).stdout.split()
    if left:
        docker_daemon.docker("rm", "-f", *left, check=False)
    images.build_registry_images(docker_daemon.env)


# --------------------------------------------------------- a private SLURM cluster
#
# Started once per session, on first use, by scripts/slurm.py: MUNGE,
# slurmctld and slurmd from a temporary folder with a configuration of their
# own, on free ports far from SLURM's defaults. Never the machine's own
# cluster. Like the Docker daemon, it skips where it cannot start, and fails
# the run instead with CI=true.


def _slurm_script():
    if str(SCRIPTS) not in sys.path:
        sys.path.insert(0, str(SCRIPTS))
    import slurm

    return slurm


@pytest.fixture(scope="session")
def slurm_cluster():
    slurm = _slurm_script()
    reason = slurm.cannot_run_reason()
    if reason:
        pytest.skip(f"no private SLURM cluster: {reason}")
    try:
        cluster = slurm.Cluster.start()
    except (OSError, RuntimeError, subprocess.SubprocessError) as e:
        pytest.skip(f"no private SLURM cluster: {e}")
    try:
        yield cluster
    finally:
        cluster.stop()


@pytest.fixture
def slurm_env(slurm_cluster, monkeypatch):
    """The clients (srun, squeue, scancel) on the private cluster, through
    SLURM_CONF and without inherited SLURM_* variables.

    After the test: no job is left pending or running.
    """
    for k in [k for k in os.environ if k.startswith("SLURM_")]:
        monkeypatch.delenv(k)
    monkeypatch.setenv("SLURM_CONF", str(slurm_cluster.conf))
    yield slurm_cluster
    # A job that just ended stays "completing" for a moment.
    deadline = time.monotonic() + 20
    while (left := slurm_cluster.jobs()) and time.monotonic() < deadline:
        if any(state in ("PENDING", "RUNNING") for _, _, state in left):
            break
        time.sleep(0.2)
    if left:
        slurm_cluster.cancel_all()
        pytest.fail(f"jobs left on the cluster after the test: {left}")


def pytest_configure(config):
    config.addinivalue_line("markers", "slurm: runs jobs on the private SLURM cluster (scripts/slurm.py)")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    rep = outcome.get_result()
    fixtures = getattr(item, "fixturenames", ())
    needs_docker = item.get_closest_marker("docker") or "docker_daemon" in fixtures
    needs_cluster = item.get_closest_marker("slurm") or "slurm_cluster" in fixtures
    if rep.skipped and (needs_docker or needs_cluster) and os.environ.get("CI") == "true":
        what = "container" if needs_docker else "cluster"
        reason = rep.longrepr[2] if isinstance(rep.longrepr, tuple) else str(rep.longrepr)
        rep.outcome = "failed"
        rep.longrepr = f"{what} test skipped in CI (CI=true): {reason}"
