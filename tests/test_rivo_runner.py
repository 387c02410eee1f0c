"""The RIVO object and its command runner `_run`."""

from __future__ import annotations

import logging
import os
import signal
import stat
import subprocess
import time
from pathlib import Path

import pytest
from helpers import ticking

from tavro.helpers import rivo
from tavro.helpers.rivo import RIVO


class Str(str):
    pass


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize(
    "vol, home, cache",
    [
        (None, "", ""),
        ("", "", ""),
        ("/vol", "/vol/.rivo_home", "/vol/.image_cache"),
        ("/vol/", "/vol/.rivo_home", "/vol/.image_cache"),
    ],
)
def test_constructor_attributes(monkeypatch, vol, home, cache):
    if vol is None:
        monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    else:
        monkeypatch.setenv("PIPELINE_VOLUME_PATH", vol)
    r = RIVO("docker", registry="reg")
    assert (r.backend, r.registry, r._session_tools) == ("docker", "reg", [])
    assert (r._rivo_home, r._image_cache) == (home, cache)
    assert not Path("/vol/.rivo_home").exists() or vol  # constructor creates nothing
    r.backend = "apptainer"  # plain, assignable attributes
    assert r.backend == "apptainer"
    assert RIVO()._session_tools is not RIVO()._session_tools


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"backend": 1}, "Argument 'backend' has incorrect type (expected str, got int)"),
        ({"registry": b"r"}, "Argument 'registry' has incorrect type (expected str, got bytes)"),
        ({"backend": Str("docker")}, "Argument 'backend' has incorrect type (expected str, got Str)"),
    ],
)
def test_constructor_rejects_wrong_types(kwargs, message):
    with pytest.raises(TypeError) as info:
        RIVO(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "backend, registry, expected",
    [
        (None, None, []),
        ("", "r", ["--registry", "r"]),
        ("docker", None, ["--backend", "docker"]),
        ("docker", "r", ["--backend", "docker", "--registry", "r"]),
    ],
)
def test_base_args(backend, registry, expected):
    assert RIVO(backend, registry)._base_args() == expected


def test_subclass_overrides_and_instance_attributes():
    class Mine(RIVO):
        def _base_args(self):
            return ["mine"]

    m = Mine(backend="docker")
    assert isinstance(m, RIVO) and m._base_args() == ["mine"] and m.backend == "docker"
    assert RIVO.__bases__ == (object,)


def test_default_llm_is_looked_up_in_oraclet_at_call_time(monkeypatch):
    from tavro.helpers import oraclet

    sentinel = object()
    monkeypatch.setattr(oraclet, "default_llm", lambda: sentinel)
    assert rivo._default_llm() is sentinel


# ---------------------------------------------------------------- the runner


def test_run_returns_completed_process(fake_rivo):
    fake_rivo.behave("print('listed'); raise SystemExit(0)")
    cp = RIVO()._run(["list", "--binaries"])
    assert isinstance(cp, subprocess.CompletedProcess)
    assert cp.args == ["rivo", "list", "--binaries"]
    assert (cp.returncode, cp.stdout, cp.stderr) == (0, "listed\n", "")
    assert fake_rivo.calls[0]["argv"] == ["list", "--binaries"]


def test_empty_command_runs_bare_rivo(fake_rivo):
    fake_rivo.behave("raise SystemExit(0)")
    assert RIVO()._run([]).args == ["rivo"]
    assert fake_rivo.calls[0]["argv"] == []


def test_cmd_must_be_a_list(fake_rivo):
    with pytest.raises(TypeError, match=r"^Argument 'cmd' has incorrect type \(expected list, got tuple\)$"):
        RIVO()._run(("list",))
    assert fake_rivo.calls == []


def test_without_volume_each_run_gets_a_fresh_rivo_dir(fake_rivo, isolated_tmp):
    fake_rivo.behave("raise SystemExit(0)")
    RIVO()._run(["list"])
    RIVO()._run(["list"])
    cwds = [c["cwd"] for c in fake_rivo.calls]
    assert cwds[0] != cwds[1]
    for cwd in cwds:
        assert Path(cwd).parent == isolated_tmp and Path(cwd).name.startswith("rivo_")
        assert not Path(cwd).exists()  # removed when the command ended
    env = fake_rivo.calls[0]["env"]
    assert "APPTAINER_CACHEDIR" not in env and "SINGULARITY_CACHEDIR" not in env


@pytest.mark.parametrize("trailing", ["", "/"])
def test_volume_sets_project_dir_and_apptainer_cache(fake_rivo, tmp_path, monkeypatch, trailing):
    vol = str(tmp_path / "vol") + trailing
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", vol)
    fake_rivo.behave("raise SystemExit(0)")
    RIVO()._run(["list"])
    call = fake_rivo.calls[0]
    assert call["cwd"] == str(tmp_path / "vol" / ".rivo_home")
    assert call["env"]["APPTAINER_CACHEDIR"] == vol + "/.apptainer_cache"
    assert call["env"]["SINGULARITY_CACHEDIR"] == vol + "/.apptainer_cache"
    assert Path(vol + "/.apptainer_cache").is_dir()


def test_caller_cwd_is_used_unchanged_and_not_created(fake_rivo, tmp_path):
    fake_rivo.behave("raise SystemExit(0)")
    RIVO()._run(["list"], cwd=str(tmp_path))
    assert fake_rivo.calls[0]["cwd"] == str(tmp_path)
    with pytest.raises(FileNotFoundError) as info:
        RIVO()._run(["list"], cwd=str(tmp_path / "missing"))
    assert info.value.filename == str(tmp_path / "missing")


def test_child_environment_rules(fake_rivo, monkeypatch):
    fake_rivo.behave("raise SystemExit(0)")
    monkeypatch.setenv("ONLY_IN_PARENT", "1")
    env = {
        "PATH": os.environ["PATH"],
        "FAKE_RIVO_LOG": os.environ["FAKE_RIVO_LOG"],
        "APPTAINER_NO_USERNS": "0",
        "APPTAINER_ROOTLESS": "no",
    }
    RIVO(registry="mine")._run(["list"], env=env)
    child = fake_rivo.calls[0]["env"]
    assert "ONLY_IN_PARENT" not in child  # the caller's mapping is the whole environment
    assert child["APPTAINER_NO_USERNS"] == child["APPTAINER_ROOTLESS"] == "1"
    assert child["RIVO_REGISTRY"] == "mine"
    assert env["RIVO_REGISTRY"] == "mine"  # the caller's mapping itself was filled in


@pytest.mark.parametrize(
    "inherited, instance, expected",
    [
        ("from-env", "mine", "from-env"),
        (None, "mine", "mine"),
        (None, None, rivo.DEFAULT_REGISTRY),
        (None, "", rivo.DEFAULT_REGISTRY),
    ],
)
def test_registry_precedence(fake_rivo, monkeypatch, inherited, instance, expected):
    if inherited:
        monkeypatch.setenv("RIVO_REGISTRY", inherited)
    fake_rivo.behave("raise SystemExit(0)")
    RIVO(registry=instance)._run(["list"])
    assert fake_rivo.calls[0]["env"]["RIVO_REGISTRY"] == expected


def test_failure_text_carries_status_and_both_streams(fake_rivo):
    fake_rivo.behave(
        """
        import sys
        sys.stdout.write("out line\\n"); sys.stderr.write("err line  \\n")
        raise SystemExit(3)
        """
    )
    with pytest.raises(RuntimeError) as info:
        RIVO()._run(["show", "x"], check=True, text=False)
    assert str(info.value) == "rivo show x failed (exit 3):\nSTDOUT: out line\n\nSTDERR: err line  \n"


def test_stderr_is_logged_as_warning_even_on_success(fake_rivo, caplog):
    fake_rivo.behave("import sys; sys.stderr.write('pulling layer\\n\\n'); raise SystemExit(0)")
    with caplog.at_level(logging.DEBUG, logger="tavro.helpers.rivo"):
        cp = RIVO()._run(["sync"])
    assert cp.stderr == "pulling layer\n\n"
    warn = [r for r in caplog.records if r.levelno == logging.WARNING]
    assert [(w.msg, w.args) for w in warn] == [("stderr: %s", ("pulling layer",))]
    debug = [r for r in caplog.records if r.levelno == logging.DEBUG]
    assert debug[0].msg == "run cwd=%s cmd=%s" and debug[0].args[1] == ["sync"]


def test_output_bytes_survive_decoding(fake_rivo):
    fake_rivo.behave(
        "import sys; sys.stdout.buffer.write(b'\\xff\\xfe\\x00bin\\r\\nCRLF\\r\\n'); raise SystemExit(0)"
    )
    cp = RIVO()._run(["exec", "x"])
    # Text mode: undecodable bytes survive, line ends read as "\n".
    assert cp.stdout.encode("utf-8", "surrogateescape") == b"\xff\xfe\x00bin\nCRLF\n"


def test_large_interleaved_output_does_not_deadlock(fake_rivo):
    fake_rivo.behave(
        """
        import sys
        for i in range(2000):
            sys.stdout.write("o" * 500 + "\\n"); sys.stderr.write("e" * 500 + "\\n")
        raise SystemExit(0)
        """
    )
    cp = RIVO()._run(["exec", "x"])
    assert cp.stdout == ("o" * 500 + "\n") * 2000
    # Standard error is kept as its first and last 64 KiB.
    head, marker, tail = cp.stderr.partition("\n[... ")
    assert head == ("e" * 500 + "\n") * 130 + "e" * 406 and tail.endswith("e\n")
    omitted = int(tail.split(" ", 1)[0])
    assert len(head) + omitted + len(tail.split("...]\n", 1)[1]) == 2000 * 501


def test_subprocess_options_pass_through(fake_rivo):
    fake_rivo.behave("import sys; sys.stdout.write(sys.stdin.read().upper()); raise SystemExit(0)")
    assert RIVO()._run(["exec"], input="hello").stdout == "HELLO"
    assert RIVO()._run(["exec"], input=b"bytes").stdout == "BYTES"
    assert RIVO()._run(["exec"], stdin=subprocess.DEVNULL).stdout == ""
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        RIVO()._run(["exec"], bogus=1)
    with pytest.raises(ValueError):
        RIVO()._run(["exec"], stdout=subprocess.PIPE)


def test_exotic_option_goes_through_python_subprocess(fake_rivo):
    fake_rivo.behave("import os; print(oct(os.umask(0))); raise SystemExit(0)")
    assert RIVO()._run(["exec"], umask=0o027).stdout.strip() == "0o27"


@pytest.mark.parametrize("preexec", [False, True])
def test_python_subprocess_path_ends_rivo_with_its_host(fake_rivo, tmp_path, preexec):
    """Through Python's subprocess too (an exotic option), rivo gets SIGTERM
    when the host dies; a caller's own preexec_fn still runs."""
    import sys

    pidfile = tmp_path / "rivo.pid"
    fake_rivo.behave(f"import os, time; open({str(pidfile)!r}, 'w').write(str(os.getpid())); time.sleep(60)")
    extra = f", preexec_fn=lambda: open({str(tmp_path / 'ran')!r}, 'w').close()" if preexec else ""
    host = subprocess.Popen([sys.executable, "-c",
                             f"from tavro.helpers.rivo import RIVO; RIVO()._run(['exec'], umask=0o022{extra})"])
    try:
        deadline = time.monotonic() + 30
        while not pidfile.exists() or not pidfile.read_text():
            assert time.monotonic() < deadline and host.poll() is None
            time.sleep(0.05)
        pid = int(pidfile.read_text())
        host.kill()
        host.wait()
        deadline = time.monotonic() + 10
        def alive():
            try:
                return Path(f"/proc/{pid}/stat").read_text().split()[2] != "Z"
            except FileNotFoundError:
                return False

        while alive():
            assert time.monotonic() < deadline, "rivo outlived its host"
            time.sleep(0.05)
        assert (tmp_path / "ran").exists() == preexec
    finally:
        host.kill()


def test_missing_rivo_raises_the_launcher_error(tmp_path, monkeypatch, isolated_tmp):
    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.setattr(rivo, "_BUNDLED_RIVO", None)  # nor the bundled one
    with pytest.raises(FileNotFoundError) as info:
        RIVO()._run(["list"])
    assert info.value.errno == 2 and info.value.filename == "rivo"


@pytest.mark.parametrize(
    "cmd, why",
    [
        (["sync"], "image pull may have stalled"),
        (["exec", "tool", "-x"], "the tool did not finish within the time limit"),
        (["list"], "rivo did not finish within the time limit"),
    ],
)
def test_explicit_timeout_text_and_prompt_return(fake_rivo, cmd, why):
    fake_rivo.behave("import time; time.sleep(30)")
    start = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        RIVO()._run(cmd, timeout=0.5)
    assert str(info.value) == f"rivo {' '.join(cmd)} timed out after 0.5s \u2014 {why}"
    assert time.monotonic() - start < 10


def test_timeout_ends_whole_group_sigterm_first(fake_rivo, tmp_path):
    """The tool and its grandchildren are ended even while they hold the pipes."""
    marker, pidfile = tmp_path / "got-term", tmp_path / "grandchild.pid"
    fake_rivo.behave(
        f"""
        import os, signal, subprocess, sys, time
        child = subprocess.Popen(["sleep", "60"])  # inherits our stdout/stderr pipes
        open({str(pidfile)!r}, "w").write(str(child.pid))
        def term(*_):
            open({str(marker)!r}, "w").write("term")
            time.sleep(60)  # ignore the request: SIGKILL must follow
        signal.signal(signal.SIGTERM, term)
        time.sleep(60)
        """
    )
    start = time.monotonic()
    with pytest.raises(RuntimeError, match="timed out after 1s"):
        RIVO()._run(["exec", "x"], timeout=1)
    assert time.monotonic() - start < 15
    assert marker.read_text() == "term"
    gpid = int(pidfile.read_text())
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            state = Path(f"/proc/{gpid}/stat").read_text().split(")")[1].split()[0]
        except FileNotFoundError:
            break
        if state == "Z":
            break
        time.sleep(0.05)
    else:
        pytest.fail("grandchild still running after the time limit")


def test_escaped_grandchild_holding_pipes_does_not_hang(fake_rivo, tmp_path):
    pidfile = tmp_path / "escaped.pid"
    fake_rivo.behave(
        f"""
        import subprocess, sys
        p = subprocess.Popen(["setsid", "sleep", "30"])  # leaves the group, keeps the pipes
        open({str(pidfile)!r}, "w").write(str(p.pid))
        print("done")
        raise SystemExit(0)
        """
    )
    start = time.monotonic()
    try:
        cp = RIVO()._run(["exec", "x"])
        assert cp.stdout == "done\n"
        assert time.monotonic() - start < 10
    finally:
        if pidfile.exists():
            try:
                os.kill(int(pidfile.read_text()), signal.SIGKILL)
            except ProcessLookupError:
                pass


def test_gil_is_released_while_the_child_runs(fake_rivo):
    fake_rivo.behave("import time; time.sleep(1); raise SystemExit(0)")
    with ticking() as ticks:
        RIVO()._run(["exec", "x"])
    assert len(ticks) > 20


def test_python_signal_interrupts_a_long_run(fake_rivo):
    fake_rivo.behave("import time; time.sleep(60)")

    class Alarm(Exception):
        pass

    def handler(*_):
        raise Alarm()

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    start = time.monotonic()
    try:
        with pytest.raises(Alarm):
            RIVO()._run(["exec", "x"])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert time.monotonic() - start < 10


def test_run_never_writes_into_the_hosts_environment(fake_rivo, tmp_path, monkeypatch):
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    fake_rivo.behave("raise SystemExit(0)")
    before = dict(os.environ)
    RIVO(registry="r")._run(["list"])
    assert dict(os.environ) == before
    assert fake_rivo.calls[0]["env"]["RIVO_REGISTRY"] == "r"


# ---------------------------------------------------------------- argument errors stay Python's


@pytest.mark.parametrize(
    "kw, same_text",
    [
        (dict(timeout="10"), True),
        (dict(timeout="10", umask=0o022), True),  # through subprocess.run
        (dict(timeout=float("nan")), True),
        (dict(timeout=float("inf")), True),
        (dict(timeout=10**400), True),
        (dict(stdin=object()), True),
        (dict(stdin=2**70), False),
        ({"\ud800": 1}, False),
    ],
)
def test_bad_arguments_raise_what_subprocess_raises(fake_rivo, kw, same_text):
    with pytest.raises(Exception) as ours:
        RIVO()._run(["list"], **kw)
    with pytest.raises(Exception) as theirs:
        subprocess.run(["true"], capture_output=True, **kw)
    assert not isinstance(ours.value, RuntimeError)  # what run() takes for "rivo failed"
    assert type(ours.value) is type(theirs.value)
    if same_text:
        assert str(ours.value) == str(theirs.value)
    assert fake_rivo.calls == []  # refused before anything started


@pytest.mark.parametrize("kw", [dict(universal_newlines=True), dict(text=True), dict(encoding="utf-8"), {}])
def test_keyword_path_returns_the_native_text(fake_rivo, kw):
    fake_rivo.behave("import sys; sys.stdout.buffer.write(b'a\\r\\nb\\rc\\n\\xff'); sys.stderr.write('e\\n')")
    native = RIVO()._run(["list"], **kw)
    python = RIVO()._run(["list"], umask=0o022, **kw)
    assert (python.returncode, python.stdout, python.stderr) == (native.returncode, native.stdout, native.stderr)
    assert isinstance(python.stdout, str)


# ---------------------------------------------------------------- input on both launch paths


@pytest.fixture
def echo_rivo(tmp_path, monkeypatch):
    """A `rivo` first on PATH that copies its standard input to its output."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    exe = bindir / "rivo"
    exe.write_text("#!/bin/sh\ncat\n")
    exe.chmod(exe.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("PATH", f"{bindir}{os.pathsep}{os.environ.get('PATH', '')}")
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    return exe


@pytest.mark.parametrize("data", ["line\r\nnext\n", b"line\r\nnext\n"])
@pytest.mark.parametrize("extra", [{}, {"umask": 0o022}, {"start_new_session": True}])
def test_run_input_same_on_both_paths(echo_rivo, tmp_path, data, extra):
    # `input` is subprocess.run's own keyword: an option that sends the call
    # through Python's subprocess must neither reject it nor treat text input
    # differently from the native path.
    cp = RIVO(backend="local")._run(["list"], input=data, cwd=str(tmp_path), **extra)
    assert cp.returncode == 0
    assert cp.stdout == "line\nnext\n"


def test_run_still_rejects_unknown_keyword_with_input(echo_rivo, tmp_path):
    with pytest.raises(TypeError, match="bogus"):
        RIVO(backend="local")._run(["list"], input="x", cwd=str(tmp_path), umask=0o022, bogus=1)
