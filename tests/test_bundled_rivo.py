"""Which `rivo` the command runner starts: one on PATH, else the bundled local rivo."""

from __future__ import annotations

import logging
import os
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import write_exe
from helpers import LOCAL_RIVO, needs_local_rivo

from tavro.helpers import rivo
from tavro.helpers.rivo import RIVO

STAND_IN = "#!/bin/sh\necho \"$1 from $0\"\n"


@pytest.mark.parametrize("on_path, bundled, expected", [
    (True, True, "on-path"),      # a real tool manager on PATH always wins
    (True, False, "on-path"),
    (False, True, "bundled"),
])
def test_the_program_started_as_rivo(tmp_path, monkeypatch, isolated_tmp, caplog, on_path,
                                     bundled, expected):
    path_dir = tmp_path / "path"
    path_dir.mkdir()
    if on_path:
        write_exe(path_dir / "rivo", STAND_IN.replace("from $0", "from on-path"))
    monkeypatch.setenv("PATH", f"{path_dir}{os.pathsep}/usr/bin{os.pathsep}/bin")
    own = None
    if bundled:
        (tmp_path / "pkg" / "_bin").mkdir(parents=True)
        own = write_exe(tmp_path / "pkg" / "_bin" / "rivo", STAND_IN)
    monkeypatch.setattr(rivo, "_BUNDLED_RIVO", str(own) if own else None)
    caplog.set_level(logging.DEBUG, logger="tavro.helpers.rivo")
    for _ in range(2):
        cp = RIVO()._run(["list"])
        assert cp.args == ["rivo", "list"]  # the record names the command, not the file
    said = [r for r in caplog.records if "bundled" in r.getMessage()]
    if expected == "bundled":
        assert cp.stdout == f"list from {own}\n"
        assert [(r.levelname, r.getMessage()) for r in said] == [
            ("DEBUG", f"no rivo on PATH; running the bundled local rivo {own}")]  # once
    else:
        assert cp.stdout == "list from on-path\n" and said == []


def test_the_childs_own_path_decides(tmp_path, monkeypatch, isolated_tmp):
    """A caller's env= mapping is the child's whole environment, its PATH too."""
    d = tmp_path / "d"
    d.mkdir()
    write_exe(d / "rivo", STAND_IN.replace("from $0", "from env"))
    monkeypatch.setenv("PATH", "/usr/bin:/bin")
    monkeypatch.setattr(rivo, "_BUNDLED_RIVO", None)
    env = {"PATH": str(d)}
    assert RIVO()._run(["show"], env=env).stdout == "show from env\n"


@needs_local_rivo()
def test_real_bundled_rivo_and_its_console_entry(tmp_path, monkeypatch, isolated_tmp):
    assert Path(rivo._BUNDLED_RIVO) == LOCAL_RIVO
    monkeypatch.setenv("PATH", "/usr/bin:/bin")
    assert RIVO()._run(["--version"]).stdout.startswith("rivo ")
    entry = Path(sys.executable).parent / "tavro-rivo"
    out = subprocess.run([str(entry), "--version"], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("rivo ")
