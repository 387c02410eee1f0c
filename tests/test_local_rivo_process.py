"""The local rivo command's child processes and digests, seen from outside.

`rivo exec` and `rivo shell` run their child through the package's shared
process runner in pass-through mode: the child shares rivo's standard
streams (and, from a terminal, gets the terminal), and termination signals
sent to rivo reach the child's own process group.
"""

from __future__ import annotations

import hashlib
import os
import signal
import subprocess
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


def gone(pid, within=3.0):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        try:  # a zombie re-parented to us would look alive
            if Path(f"/proc/{pid}/stat").read_text().split(")")[-1].split()[0] == "Z":
                return True
        except OSError:
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_signal_to_rivo_reaches_the_tool_group(tmp_path, env, sig):
    marker = tmp_path / "pid"
    # A background job of a script ignores SIGINT, so only the other two can
    # show that the whole group is reached; for SIGINT the loop is the tool.
    job = "sleep 60 & echo $! > {m}; wait" if sig != signal.SIGINT else "echo $$ > {m}; while :; do sleep 0.1; done"
    line = f"trap 'echo caught; exit 9' {sig.name[3:]}; " + job.format(m=marker)
    p, grandchild = start(["exec", "--", "sh", "-c", line], tmp_path, env, marker)
    os.kill(p.pid, sig)  # rivo alone, not its group: the tool has a group of its own
    out, err = p.communicate(timeout=10)
    assert p.returncode == -sig, err
    assert out == b"caught\n"
    assert gone(grandchild), "the tool's background child outlived rivo"


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
