"""Docker readiness, the host-network wrapper's installation and its behaviour.

Nothing here touches the machine's Docker: `docker` is a fake first on PATH,
the installer's paths point into the test's folder, and the one test that
uses the real paths runs in a private mount namespace over an overlay.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time

import pytest
from helpers import private_root_skip_reason, run_in_private_root

import tavro.helpers.rivo as rivo_mod
from tavro.helpers.rivo import RIVO


@pytest.fixture(autouse=True)
def paths(tmp_path, monkeypatch):
    """Installer paths inside the test folder."""
    p = {
        "system": tmp_path / "usr-bin" / "docker",
        "real": tmp_path / "usr-bin" / "docker.real",
        "wrapper_dir": tmp_path / "vol" / "bin",
    }
    p["system"].parent.mkdir()
    monkeypatch.setattr(rivo_mod, "_SYSTEM_DOCKER", str(p["system"]))
    monkeypatch.setattr(rivo_mod, "_DOCKER_REAL", str(p["real"]))
    monkeypatch.setattr(rivo_mod, "_WRAPPER_DIR", str(p["wrapper_dir"]))
    return p


class Clock:
    def __init__(self):
        self.now = 1000.0
        self.sleeps: list[float] = []

    def time(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


@pytest.fixture
def clock(monkeypatch):
    c = Clock()
    monkeypatch.setattr(time, "time", c.time)
    monkeypatch.setattr(time, "sleep", c.sleep)
    return c


PROBE_DOCKER = r"""#!/bin/bash
echo "$*" >> "$PROBE_LOG"
n=$(grep -c "^$1" "$PROBE_LOG")
if [ "$1" = info ]; then
    [ "$n" = 1 ] && [ -n "$HANG_FIRST" ] && exec sleep 5
    [ "$n" -gt "${INFO_FAILS:-0}" ] && exit 0
    exit 1
fi
if [ "$1" = pull ]; then
    [ "$n" -gt "${PULL_FAILS:-0}" ] && exit 0
    exit 1
fi
exit 0
"""


@pytest.fixture
def probes(bindir, tmp_path, monkeypatch):
    """A fake `docker` answering the readiness probes; returns its call log."""
    exe = bindir / "docker"
    exe.write_text(PROBE_DOCKER)
    exe.chmod(0o755)
    log = tmp_path / "probes.log"
    monkeypatch.setenv("PROBE_LOG", str(log))
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    return lambda: log.read_text().splitlines() if log.exists() else []


@pytest.fixture
def no_install(monkeypatch):
    installs = []
    monkeypatch.setattr(RIVO, "_install_docker_host_network_wrapper",
                        lambda self: installs.append(self))
    return installs


# -------------------------------------------------------- wait_for_docker


def test_docker_missing(bindir, monkeypatch):
    monkeypatch.setenv("PATH", str(bindir))
    with pytest.raises(RuntimeError) as info:
        RIVO().wait_for_docker()
    assert str(info.value) == (
        "Docker is not installed or not on PATH. Install Docker Desktop (Mac/Windows) or Docker "
        "Engine (Linux/HPC) before running tavro: " + rivo_mod._DOCKER_INSTALL_URL)
    assert rivo_mod._DOCKER_INSTALL_URL.startswith("https://docs.docker.com/")


DAEMON_DOWN = ("Docker is installed but the daemon is not running. Start Docker Desktop or run "
               "`sudo systemctl start docker`.")


def test_local_mode_ready_at_once(probes, clock, no_install, logs):
    RIVO().wait_for_docker()
    assert probes() == ["info"]
    assert clock.sleeps == [] and no_install == []
    assert logs() == [("DEBUG", "Docker daemon ready (local mode)", ())]


@pytest.mark.parametrize(
    "timeout, fails, expected_infos, sleeps, ready",
    [
        (0, 0, 0, [], False),          # the loop never runs
        (300, 2, 3, [2, 2], True),
        (5, 99, 3, [2, 2, 2], False),  # probes at 0, 2, 4
        (2.9, 99, 1, [2], False),      # converted to 2 seconds
        (True, 99, 1, [2], False),
    ],
)
def test_daemon_phase(probes, clock, no_install, monkeypatch, timeout, fails, expected_infos,
                      sleeps, ready):
    monkeypatch.setenv("INFO_FAILS", str(fails))
    r = RIVO()
    if ready:
        r.wait_for_docker(timeout)
    else:
        with pytest.raises(RuntimeError) as info:
            r.wait_for_docker(timeout=timeout)
        assert str(info.value) == DAEMON_DOWN
    assert probes() == ["info"] * expected_infos
    assert clock.sleeps == sleeps


@pytest.mark.parametrize("bad", ["5", None, [1]])
def test_timeout_type(bad):
    with pytest.raises(TypeError) as info:
        RIVO().wait_for_docker(bad)
    assert str(info.value) == (f"Argument 'timeout' has incorrect type (expected int, got "
                               f"{type(bad).__name__})")


def test_hosted_network_retries_then_installs(probes, clock, no_install, monkeypatch, tmp_path,
                                              logs):
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    monkeypatch.setenv("PULL_FAILS", "2")
    r = RIVO()
    r.wait_for_docker()
    assert probes() == ["info", "pull hello-world", "pull hello-world", "pull hello-world"]
    assert clock.sleeps == [3, 3]
    assert no_install == [r]
    assert logs() == [("DEBUG", "Docker network not ready, retrying...", ())] * 2


def test_one_deadline_for_both_phases(probes, clock, no_install, monkeypatch, tmp_path):
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    monkeypatch.setenv("INFO_FAILS", "3")     # daemon ready at t=6
    monkeypatch.setenv("PULL_FAILS", "99")
    with pytest.raises(RuntimeError) as info:
        RIVO().wait_for_docker(10)
    assert str(info.value) == "Docker networking did not become ready within timeout"
    assert probes() == ["info"] * 4 + ["pull hello-world"] * 2   # pulls at t=6 and t=9
    assert no_install == []


def test_probe_time_out_is_ignored(probes, clock, no_install, monkeypatch):
    monkeypatch.setattr(rivo_mod, "_DAEMON_PROBE_TIMEOUT", 0.2)
    monkeypatch.setenv("HANG_FIRST", "1")
    started = time.monotonic()
    RIVO().wait_for_docker()
    assert time.monotonic() - started < 3
    assert probes() == ["info", "info"]
    assert clock.sleeps == [2]


def test_probe_start_failure_propagates(bindir, clock):
    exe = bindir / "docker"
    exe.write_text("#!/nonexistent/interpreter\n")
    exe.chmod(0o755)
    with pytest.raises(FileNotFoundError):
        RIVO().wait_for_docker()


def test_hosted_wait_installs_the_wrapper(probes, clock, monkeypatch, tmp_path, paths):
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    paths["system"].write_text("#!/bin/sh\necho real\n")
    RIVO().wait_for_docker()
    assert paths["real"].read_text() == "#!/bin/sh\necho real\n"
    assert (paths["wrapper_dir"] / "docker").read_text().startswith("#!/bin/bash\n")


# ------------------------------------------------------------ installation

def check_wrapper(path, real: str) -> str:
    """The wrapper at `path`: bash, handing over to `real`, mode 755."""
    text = path.read_text()
    assert text.startswith(f'#!/bin/bash\nREAL_DOCKER="{real}"\nif [ "$1" = "run" ]; then\n')
    assert text.endswith('\nelse\n    exec "$REAL_DOCKER" "$@"\nfi\n')
    assert path.stat().st_mode & 0o7777 == 0o755
    assert subprocess.run(["bash", "-n", str(path)]).returncode == 0
    return text


def test_install_moves_real_docker_and_writes_both_wrappers(paths, logs):
    paths["system"].write_text("REAL BINARY")
    RIVO()._install_docker_host_network_wrapper()
    wrapper = paths["wrapper_dir"] / "docker"
    assert paths["real"].read_text() == "REAL BINARY"
    assert check_wrapper(wrapper, str(paths["real"])) == check_wrapper(paths["system"],
                                                                       str(paths["real"]))
    assert logs() == [
        ("INFO", "Moved real docker binary to %s", (str(paths["real"]),)),
        ("INFO", "Installed docker wrapper at %s and %s (real binary at %s)",
         (str(wrapper), str(paths["system"]), str(paths["real"]))),
    ]
    assert sorted(p.name for p in paths["system"].parent.iterdir()) == ["docker", "docker.real"]


def test_second_install_moves_nothing_and_rewrites(paths, logs):
    paths["real"].write_text("REAL BINARY")
    paths["system"].write_text("stale wrapper")
    paths["system"].chmod(0o600)
    RIVO()._install_docker_host_network_wrapper()
    assert paths["real"].read_text() == "REAL BINARY"
    check_wrapper(paths["system"], str(paths["real"]))
    assert [m for _, m, _ in logs()] == [
        "Installed docker wrapper at %s and %s (real binary at %s)"]


def test_install_replaces_a_link_not_its_target(paths):
    # e.g. a package update put a link back at the system path
    paths["real"].write_text("REAL BINARY")
    paths["system"].symlink_to(paths["real"].name)
    RIVO()._install_docker_host_network_wrapper()
    assert paths["real"].read_text() == "REAL BINARY"
    assert not paths["system"].is_symlink()
    check_wrapper(paths["system"], str(paths["real"]))


def test_failed_move_installs_no_broken_wrapper(paths, logs):
    # no executable at the system path: nothing to move
    RIVO()._install_docker_host_network_wrapper()
    assert not paths["system"].exists() and not paths["real"].exists()
    assert not (paths["wrapper_dir"] / "docker").exists()
    (lvl1, msg1, args1), (lvl2, msg2, args2) = logs()
    assert (lvl1, msg1, args1[0]) == ("WARNING", "Could not move %s: %s", str(paths["system"]))
    assert isinstance(args1[1], FileNotFoundError)
    assert (lvl2, msg2, args2) == ("WARNING",
                                   "Docker wrapper not installed: no real docker binary at %s",
                                   (str(paths["real"]),))


def test_wrapper_write_failure_propagates(paths, logs):
    paths["real"].write_text("REAL BINARY")
    (paths["wrapper_dir"] / "docker").mkdir(parents=True)
    with pytest.raises(OSError):
        RIVO()._install_docker_host_network_wrapper()
    assert not paths["system"].exists()
    assert logs() == []


def test_wrapper_dir_failure_propagates(paths, tmp_path, monkeypatch):
    blocker = tmp_path / "file"
    blocker.write_text("")
    monkeypatch.setattr(rivo_mod, "_WRAPPER_DIR", str(blocker / "bin"))
    with pytest.raises(NotADirectoryError):
        RIVO()._install_docker_host_network_wrapper()


# ------------------------------------------------------- wrapper behaviour

RECORDING_DOCKER = r'''#!{python}
import json, os, sys
args = sys.argv[1:]
rec = {{"argv": args}}
if "--env-file" in args:
    path = args[args.index("--env-file") + 1]
    rec["env_file"] = path
    rec["env"] = open(path).read()
with open(os.environ["REAL_LOG"], "a") as fh:
    fh.write(json.dumps(rec) + "\n")
if args[:1] == ["pull"]:
    sys.exit(int(os.environ.get("PULL_RC", "0")))
if args[:2] == ["run", "--rm"]:
    sys.exit(int(os.environ.get("PROBE_RC", "1")))
sys.exit(int(os.environ.get("OTHER_RC", "0")))
'''


class Wrapper:
    """The installed wrapper, run under bash against a recording real docker."""

    def __init__(self, tmp_path, paths, gpu: bool):
        paths["real"].write_text(RECORDING_DOCKER.format(python=sys.executable))
        paths["real"].chmod(0o755)
        RIVO()._install_docker_host_network_wrapper()
        text = (paths["wrapper_dir"] / "docker").read_text()
        # Point the host-specific globs at folders of the test.
        self.devdir = tmp_path / "dev"
        self.libdir = tmp_path / "lib"
        self.devdir.mkdir()
        self.libdir.mkdir()
        if gpu:
            for name in ("nvidia0", "nvidiactl"):
                (self.devdir / name).symlink_to("/dev/null")   # a character device
            (self.devdir / "nvidia-not-a-device").write_text("")
            (self.libdir / "libcuda.so.1").write_text("")
        text = text.replace("/dev/nvidia*", f"{self.devdir}/nvidia*")
        text = text.replace("/usr/lib/x86_64-linux-gnu/", f"{self.libdir}/")
        self.script = tmp_path / "wrapper.sh"
        self.script.write_text(text)
        self.log = tmp_path / "real.jsonl"
        self.tmpdir = tmp_path / "wrapper-tmp"
        self.tmpdir.mkdir()
        self.vol = tmp_path / "vol"

    def __call__(self, *args, **env):
        full_env = {"PATH": os.environ["PATH"], "REAL_LOG": str(self.log),
                    "TMPDIR": str(self.tmpdir), "PIPELINE_VOLUME_PATH": str(self.vol)}
        full_env.update(env)
        return subprocess.run(["bash", str(self.script), *args], env=full_env,
                              capture_output=True, text=True, timeout=10)

    @property
    def calls(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]


@pytest.fixture
def wrapper(tmp_path, paths):
    return Wrapper(tmp_path, paths, gpu=False)


@pytest.fixture
def gpu_wrapper(tmp_path, paths):
    return Wrapper(tmp_path, paths, gpu=True)


HOST = ["run", "--network=host", "--entrypoint", ""]


@pytest.mark.parametrize(
    "args, passed",
    [
        (["--rm", "-v", "/a:/b", "img", "cmd", "x y"], ["--rm", "-v", "/a:/b", "img", "cmd", "x y"]),
        (["--gpus", "all", "img", "--runtime", "nvidia", "c"], ["img", "c"]),
        (["--gpus=all", "--runtime=nvidia", "img"], ["img"]),
        (["img", "--gpus"], ["img"]),
        (["img", "--runtime"], ["img"]),
        (["--gpus"], []),
        ([], []),
    ],
    ids=["plain", "gpus-value", "gpus-equals", "gpus-last", "runtime-last", "only-gpus", "bare"],
)
def test_run_without_gpus(wrapper, args, passed):
    res = wrapper("run", *args)
    assert res.returncode == 0, res.stderr
    assert wrapper.calls == [{"argv": HOST + passed}]


@pytest.mark.parametrize("rc, message", [(137, True), (0, False), (1, False)])
def test_pull(wrapper, rc, message):
    res = wrapper("pull", "-q", "img:1", PULL_RC=str(rc))
    assert res.returncode == rc
    assert wrapper.calls == [{"argv": ["pull", "-q", "img:1"]}]
    overlay = "max depth exceeded: image has too many layers for overlay2 storage driver\n"
    assert (res.stderr == overlay) is message


@pytest.mark.parametrize("args", [["load", "-i", "/c/x.tar"], ["save", "r", "-o", "o"],
                                  ["info"], ["image", "inspect", "r"], ["--version"]])
def test_other_commands_pass_through(wrapper, args):
    res = wrapper(*args, OTHER_RC="3")
    assert res.returncode == 3
    assert wrapper.calls == [{"argv": args}]


def _gpu_options(wrapper, env_file, host_cuda):
    dev = wrapper.devdir
    lib = wrapper.libdir / "libcuda.so.1"
    opts = ["--device", f"{dev}/nvidia0:{dev}/nvidia0", "--device", f"{dev}/nvidiactl:{dev}/nvidiactl",
            "-v", f"{lib}:{lib}:ro",
            "-e", "NVIDIA_VISIBLE_DEVICES=all", "-e", "NVIDIA_DRIVER_CAPABILITIES=all",
            "--env-file", env_file]
    if host_cuda:
        opts += ["-v", "/usr/local/cuda:/usr/local/cuda:ro"]
    return opts + ["-v", f"{wrapper.vol}/.model_cache:/cache:rw"]


def _probe(image, d):
    return ["run", "--rm", "--network=host", "--entrypoint", "", image,
            "sh", "-c", f"ls {d}/libcudart.so* >/dev/null 2>&1"]


LIB64 = "/usr/local/cuda/lib64"
TARGETS = "/usr/local/cuda/targets/x86_64-linux/lib"


@pytest.mark.parametrize("probe_rc, probes, host_cuda",
                         [("1", [LIB64, TARGETS], True), ("0", [LIB64], False)],
                         ids=["host-toolkit", "own-toolkit"])
def test_run_with_gpus(gpu_wrapper, probe_rc, probes, host_cuda):
    args = ["--name", "job", "-e", "K=V", "--gpus", "all", "reg/img:1", "python", "x.py"]
    res = gpu_wrapper("run", *args, PROBE_RC=probe_rc)
    assert res.returncode == 0, res.stderr
    *probe_calls, final = gpu_wrapper.calls
    assert [c["argv"] for c in probe_calls] == [_probe("reg/img:1", d) for d in probes]
    env_file = final["env_file"]
    passed = ["--name", "job", "-e", "K=V", "reg/img:1", "python", "x.py"]
    assert final["argv"] == HOST + _gpu_options(gpu_wrapper, env_file, host_cuda) + passed
    assert final["env"].splitlines() == [
        "XLA_FLAGS=--xla_gpu_cuda_data_dir=/usr/local/cuda",
        "XLA_PYTHON_CLIENT_ALLOCATOR=platform",
        "XLA_PYTHON_CLIENT_PREALLOCATE=false",
        f"JAX_COMPILATION_CACHE_DIR={gpu_wrapper.vol}/.jax_cache",
        "OMP_NUM_THREADS=4",
        "OPENBLAS_NUM_THREADS=4",
        "LD_LIBRARY_PATH=/usr/local/cuda/lib64:/usr/local/cuda/targets/x86_64-linux/lib:"
        "/usr/local/nvidia/lib:/usr/local/nvidia/lib64",
    ]
    assert (gpu_wrapper.vol / ".model_cache").is_dir()


@pytest.mark.parametrize(
    "args, image",
    [
        (["--name", "n", "img", "cmd"], "img"),
        (["--name=n", "img"], "img"),
        (["-v", "/a:/b", "-e", "X=1", "-w", "/w", "--rm", "-it", "img", "-v"], "img"),
        (["--network", "host", "-p", "80:80", "--device", "/dev/x", "img:2"], "img:2"),
        (["-u", "0", "--user", "1", "-l", "a=b", "--label", "c", "--mount", "m", "x/y"], "x/y"),
        (["--workdir", "/w", "--entrypoint", "sh", "--env-file", "f", "img"], "img"),
        (["--rm", "-d"], None),
    ],
)
def test_image_name_scan(gpu_wrapper, args, image):
    res = gpu_wrapper("run", *args)
    assert res.returncode == 0, res.stderr
    *probe_calls, final = gpu_wrapper.calls
    if image is None:
        assert probe_calls == []
        assert "/usr/local/cuda:/usr/local/cuda:ro" in final["argv"]
    else:
        assert [c["argv"][5] for c in probe_calls] == [image, image]


def test_gpu_env_files_do_not_pile_up(gpu_wrapper, tmp_path):
    for _ in range(3):
        assert gpu_wrapper("run", "img").returncode == 0
    other = tmp_path / "vol2"
    assert gpu_wrapper("run", "img", PIPELINE_VOLUME_PATH=str(other)).returncode == 0
    files = sorted(gpu_wrapper.tmpdir.iterdir())
    assert len(files) == 2
    used = {c["env_file"] for c in gpu_wrapper.calls if "env_file" in c}
    assert used == {str(f) for f in files}
    assert all(os.path.exists(u) for u in used)


# --------------------------------------------------- the real paths, isolated

NAMESPACE_SCRIPT = r"""
import json, os, subprocess, sys
if not os.path.exists("/.tavro-private-root"):
    sys.exit(97)  # never run outside the private root
with open("/usr/bin/docker", "w") as fh:
    fh.write("#!/bin/sh\necho real-docker \"$@\"\n")
os.chmod("/usr/bin/docker", 0o755)
os.environ["PATH"] = sys.argv[1] + ":" + os.environ["PATH"]
os.environ["PIPELINE_VOLUME_PATH"] = "/vol"
from tavro.helpers.rivo import RIVO
r = RIVO()
r.wait_for_docker(timeout=60)
first = {p: open(p).read() for p in ("/usr/bin/docker", "/usr/bin/docker.real", "/vol/bin/docker")}
r._install_docker_host_network_wrapper()
out = {
    "first": first,
    "again": {p: open(p).read() for p in first},
    "modes": {p: os.stat(p).st_mode & 0o7777 for p in first},
    "run": subprocess.run(["/usr/bin/docker", "version"], capture_output=True, text=True).stdout,
    "real_docker": r._real_docker(),
}
print(json.dumps(out))
"""


def _namespace_skip_reason():
    if os.geteuid() != 0:
        return "needs root for a private mount namespace"
    # /usr/bin/docker may exist (Debian's client): the script only replaces it
    # inside the private root.
    return private_root_skip_reason()


def _fingerprint(path):
    return open(path, "rb").read() if os.path.lexists(path) else None


def test_install_at_real_paths_in_private_namespace(tmp_path, monkeypatch):
    reason = _namespace_skip_reason()
    if reason:
        pytest.skip(reason)
    fakebin = tmp_path / "fakebin"
    fakebin.mkdir()
    (fakebin / "docker").write_text("#!/bin/sh\nexit 0\n")
    (fakebin / "docker").chmod(0o755)
    system_docker = _fingerprint("/usr/bin/docker")
    res = run_in_private_root(tmp_path, NAMESPACE_SCRIPT, str(fakebin), timeout=60)
    if res.returncode != 0 and not res.stdout:
        pytest.skip(f"private mount namespace not permitted: {res.stderr.strip()[-300:]}")
    assert res.returncode == 0, res.stderr
    out = json.loads(res.stdout)
    wrapper = out["first"]["/usr/bin/docker"]
    assert wrapper.startswith('#!/bin/bash\nREAL_DOCKER="/usr/bin/docker.real"\n')
    assert out["first"] == {"/usr/bin/docker": wrapper, "/vol/bin/docker": wrapper,
                            "/usr/bin/docker.real": "#!/bin/sh\necho real-docker \"$@\"\n"}
    assert out["again"] == out["first"]
    assert set(out["modes"].values()) == {0o755}
    assert out["run"] == "real-docker version\n"
    assert out["real_docker"] == "/usr/bin/docker.real"
    # nothing leaked out of the namespace
    assert not os.path.lexists("/vol") and not os.path.lexists("/usr/bin/docker.real")
    assert _fingerprint("/usr/bin/docker") == system_docker
