"""Faults found reviewing the merged work, each checked through the Python API."""

import os
import stat

import pytest

from tavro.helpers.rivo import RIVO


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
