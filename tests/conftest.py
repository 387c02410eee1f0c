"""Shared fixtures: fake external commands first on PATH, isolated temp dirs."""

from __future__ import annotations

import json
import os
import stat
import sys
import textwrap
from pathlib import Path

import pytest

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
