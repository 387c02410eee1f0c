"""The local rivo command's child processes and digests, seen from outside.

`rivo exec` and `rivo shell` run their child through the package's shared
process runner in pass-through mode: the child shares rivo's standard
streams (and, from a terminal, gets the terminal), and termination signals
sent to rivo reach the child's own process group.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from helpers import LOCAL_RIVO, needs_local_rivo, tomllib

pytestmark = needs_local_rivo()


@pytest.fixture
def env(tmp_path):
    e = {k: v for k, v in os.environ.items() if not k.startswith("RIVO_")}
    e["RIVO_BACKEND"] = "local"
    e["RIVO_REGISTRY"] = str(tmp_path / "registry")
    (tmp_path / "registry").mkdir()
    return e


def rivo(args, cwd, env, **kw):
    return subprocess.run([str(LOCAL_RIVO), *args], cwd=cwd, env=env, capture_output=True,
                          timeout=kw.pop("timeout", 30), **kw)


@pytest.mark.parametrize(
    "args, stdin, stdout, stderr, code",
    [
        (["exec", "cat"], b"through stdin\n", b"through stdin\n", b"", 0),
        (["exec", "--", "sh", "-c", "cat; echo err >&2; exit 5"], b"x", b"x", b"err\n", 5),
        (["exec", "sh", "-c", "echo $0 \"$@\"", "a", "--", "--help", "-c"], b"", b"a -- --help -c\n", b"", 0),
        (["exec", "no-such-program-xyz", "arg"], b"",
         b"", b"rivo: no-such-program-xyz: No such file or directory\n", 127),
        (["shell", "--shell", "sh"], b"echo in-shell $RIVO_PROJECT\nexit 4\n", None, b"", 4),
    ],
    ids=["stdin-stdout", "stderr-status", "args-verbatim", "not-startable", "shell"],
)
def test_pass_through_streams_arguments_and_status(tmp_path, env, args, stdin, stdout, stderr, code):
    cp = rivo(args, tmp_path, env, input=stdin)
    assert cp.returncode == code, cp.stderr
    assert cp.stderr == stderr
    if stdout is not None:
        assert cp.stdout == stdout
    else:
        assert cp.stdout == f"in-shell {tmp_path}\n".encode()


def start(args, cwd, env, marker):
    """rivo in a session of its own, as `_run` starts it; waits until the tool says "ready"."""
    p = subprocess.Popen([str(LOCAL_RIVO), *args], cwd=cwd, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, start_new_session=True)
    deadline = time.monotonic() + 10
    while not marker.exists() or not marker.read_text().strip():
        assert time.monotonic() < deadline, "tool never started"
        time.sleep(0.02)
    return p, int(marker.read_text())


def gone(pid) -> bool:
    try:  # a zombie (its parent, here PID 1, need not reap it at once) counts as gone
        return Path(f"/proc/{pid}/stat").read_text().split(")")[-1].split()[0] == "Z"
    except OSError:
        return True


def running_with(marker: str, exact: bool = False) -> list[int]:
    """Live processes whose command line holds ``marker`` (``exact``: is it);
    a zombie's command line is empty."""
    pids = []
    for d in Path("/proc").iterdir():
        with contextlib.suppress(OSError):
            argv = (d / "cmdline").read_bytes().split(b"\0")[:-1] if d.name.isdigit() else []
            if argv and (argv == marker.encode().split() if exact else marker.encode() in b" ".join(argv)):
                pids.append(int(d.name))
    return pids


def child_of(pid: int) -> int:
    for d in Path("/proc").iterdir():
        with contextlib.suppress(OSError):
            if d.name.isdigit() and (d / "stat").read_text().split(")")[-1].split()[1] == str(pid):
                return int(d.name)
    raise AssertionError(f"{pid} has no child")


@pytest.fixture
def marker():
    """A `sleep` command nothing else runs; whatever still runs it afterwards is killed."""
    word = f"sleep {random.randrange(10**8, 10**9)}"
    yield word
    for pid in running_with(word):
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)


# A tool whose group holds two plain background jobs (a script's background
# jobs ignore SIGINT) and a grandchild that ignores every signal rivo forwards.
STUBBORN = "trap '' TERM INT HUP; {sleep}"
TOOL_GROUP = "{sleep} & {sleep} & sh -c \"%s\" & echo $$ > {pidfile}; wait" % STUBBORN


def wait_for(predicate, within: float) -> bool:
    deadline = time.monotonic() + within
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_signal_to_rivo_ends_the_whole_tool_group_before_rivo_exits(tmp_path, env, sig, marker):
    pidfile = tmp_path / "pid"
    line = f"trap 'echo caught; exit 9' {sig.name[3:]}; " + TOOL_GROUP.format(sleep=marker, pidfile=pidfile)
    p, tool = start(["exec", "--", "sh", "-c", line], tmp_path, env, pidfile)
    assert wait_for(lambda: len(running_with(marker, exact=True)) == 3, 5)
    t0 = time.monotonic()
    os.kill(p.pid, sig)  # rivo alone, not its group: the tool has a group of its own
    out, err = p.communicate(timeout=10)
    assert p.returncode == -sig, err
    assert out == b"caught\n"
    assert running_with(marker) == [], "part of the tool's group outlived rivo"
    assert time.monotonic() - t0 < 4  # SIGKILL for the stubborn one after 2 s


def test_tool_ignoring_sigterm_is_killed_after_the_grace(tmp_path, env):
    marker = tmp_path / "pid"
    line = f"trap '' TERM; echo $$ > {marker}; while :; do sleep 0.1; done"
    p, tool = start(["exec", "--", "sh", "-c", line], tmp_path, env, marker)
    t0 = time.monotonic()
    os.kill(p.pid, signal.SIGTERM)
    p.communicate(timeout=10)
    assert p.returncode == -signal.SIGTERM
    assert 1.5 < time.monotonic() - t0 < 6
    assert gone(tool)


HOST = """
import sys
from tavro.helpers.rivo import RIVO
RIVO()._run(["exec", "--", "sh", "-c", sys.argv[1]], cwd=sys.argv[2])
"""


@pytest.mark.parametrize("leader", ["ends on SIGTERM", "ignores SIGTERM"])
def test_time_limit_of_rivo_reaches_the_tool_group(tmp_path, marker, local_rivo_path, monkeypatch, leader):
    from tavro.helpers.rivo import RIVO

    monkeypatch.setenv("RIVO_BACKEND", "local")
    line = TOOL_GROUP.format(sleep=marker, pidfile=tmp_path / "pid")
    if leader == "ignores SIGTERM":
        line = "trap '' TERM; " + line
    t0 = time.monotonic()
    with pytest.raises(RuntimeError, match="timed out after 1s"):
        RIVO()._run(["exec", "--", "sh", "-c", line], timeout=1, cwd=str(tmp_path))
    assert running_with(marker) == []
    assert time.monotonic() - t0 < 5  # 1 s, rivo's 2 s grace, within the runner's 3 s


@pytest.mark.parametrize("victim", ["host", "rivo"])
def test_tool_group_ends_when_its_host_or_rivo_is_killed(tmp_path, marker, local_rivo_path, victim):
    """SIGKILL can be neither caught nor forwarded: the host's death reaches rivo
    as a parent-death signal, rivo's own death reaches its watchdog."""
    pidfile = tmp_path / "pid"
    line = "trap '' TERM; " + TOOL_GROUP.format(sleep=marker, pidfile=pidfile)
    e = dict(os.environ, RIVO_BACKEND="local")
    host = subprocess.Popen([sys.executable, "-c", HOST, line, str(tmp_path)], env=e,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: len(running_with(marker, exact=True)) == 3, 10), "the tool never started"
        os.kill(host.pid if victim == "host" else child_of(host.pid), signal.SIGKILL)
        assert wait_for(lambda: set(running_with(marker)) <= {host.pid}, 6), running_with(marker)
    finally:
        host.kill()
        host.wait()


def test_interactive_tool_gets_the_terminal(tmp_path, env):
    """From a terminal the tool can read it (no SIGTTIN stop in its own group)."""
    import pty

    pid, master = pty.fork()
    if pid == 0:  # child: rivo with the pty as controlling terminal
        os.chdir(tmp_path)
        os.execve(str(LOCAL_RIVO), [str(LOCAL_RIVO), "exec", "--", "sh", "-c",
                                    "read x; echo got-$x"], env)
    try:
        os.write(master, b"hello\n")
        buf = b""
        deadline = time.monotonic() + 10
        while b"got-hello" not in buf and time.monotonic() < deadline:
            import select

            if select.select([master], [], [], 0.2)[0]:
                try:
                    buf += os.read(master, 1024)
                except OSError:
                    break
        assert b"got-hello" in buf
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    finally:
        os.close(master)
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass


def definition(size: int) -> bytes:
    head = b'image = "img:1"\nbinaries = ["true"]\n'
    body = head + b"#" * max(0, size - len(head) - 1) + b"\n"
    assert len(body) == size
    return body


def test_lock_records_sha256_of_each_definition(tmp_path, env):
    # Lengths around the 64-byte block and its 55/56-byte padding boundary.
    sizes = {"t55": 55, "t56": 56, "t63": 63, "t64": 64, "t65": 65, "t119": 119, "t120": 120, "t4096": 4096}
    reg = Path(env["RIVO_REGISTRY"])
    for name, size in sizes.items():
        (reg / f"{name}.toml").write_bytes(definition(size))
    cp = rivo(["add", *sizes], tmp_path, env)
    assert cp.returncode == 0, cp.stderr
    lock = tomllib.loads((tmp_path / "rivo.lock").read_text())["tools"]
    for name, size in sizes.items():
        want = hashlib.sha256(definition(size)).hexdigest()
        assert lock[name]["definition_digest"] == "sha256:" + want
    # A fixed vector, independent of the Python library.
    (reg / "fixed.toml").write_bytes(b'image = "abc"\n')
    assert rivo(["add", "fixed"], tmp_path, env).returncode == 0
    lock = tomllib.loads((tmp_path / "rivo.lock").read_text())["tools"]
    assert lock["fixed"]["definition_digest"] == (
        "sha256:55ff51301bcb7060bdf3b0f090226b00c1ab521508578e96b0223087018c14c3")
    # A changed definition makes the lock out of date.
    (reg / "t55.toml").write_bytes(definition(56))
    assert rivo(["lock", "--check"], tmp_path, env).returncode == 1


def test_project_files_are_replaced_whole_with_their_modes(tmp_path, env):
    reg = Path(env["RIVO_REGISTRY"])
    (reg / "tool.toml").write_bytes(definition(100))
    assert rivo(["add", "tool"], tmp_path, env).returncode == 0
    (tmp_path / "rivo.toml").chmod(0o600)
    assert rivo(["lock"], tmp_path, env).returncode == 0
    assert rivo(["remove", "tool"], tmp_path, env).returncode == 0
    assert (tmp_path / "rivo.toml").stat().st_mode & 0o777 == 0o600
    assert rivo(["add", "tool"], tmp_path, env).returncode == 0
    shim = tmp_path / ".rivo" / "bin" / "true"
    assert shim.stat().st_mode & 0o777 == 0o755
    leftovers = [p.name for p in tmp_path.rglob("*") if ".tmp" in p.name]
    assert leftovers == []
