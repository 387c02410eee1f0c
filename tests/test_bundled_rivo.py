"""Which `rivo` the command runner starts: one on PATH, else the bundled local rivo."""

from __future__ import annotations

import logging

import pytest
from conftest import write_exe

from tavro.helpers import rivo
from tavro.helpers.rivo import RIVO

STAND_IN = "#!/bin/sh\necho \"$1 from $0\"\n"


# A rivo on the child's PATH always wins: the process's PATH, or the PATH of
# a caller's env= mapping (the child's whole environment).
@pytest.mark.parametrize("rivo_on", ["PATH", "env", None])
def test_the_program_started_as_rivo(tmp_path, monkeypatch, isolated_tmp, caplog, rivo_on):
    (tmp_path / "path").mkdir()
    write_exe(tmp_path / "path" / "rivo", "#!/bin/sh\necho \"$1 from PATH\"\n")
    (tmp_path / "pkg" / "_bin").mkdir(parents=True)
    own = write_exe(tmp_path / "pkg" / "_bin" / "rivo", STAND_IN)
    monkeypatch.setattr(rivo, "_BUNDLED_RIVO", str(own))
    with_rivo = f"{tmp_path / 'path'}:/usr/bin:/bin"
    monkeypatch.setenv("PATH", with_rivo if rivo_on == "PATH" else "/usr/bin:/bin")
    kw = {"env": {"PATH": with_rivo}} if rivo_on == "env" else {}
    caplog.set_level(logging.DEBUG, logger="tavro.helpers.rivo")
    for _ in range(2):
        cp = RIVO()._run(["list"], **kw)
        assert cp.args == ["rivo", "list"]  # the record names the command, not the file
    said = [(r.levelname, r.getMessage()) for r in caplog.records if "bundled" in r.getMessage()]
    if rivo_on:
        assert (cp.stdout, said) == ("list from PATH\n", [])
    else:
        assert cp.stdout == f"list from {own}\n"
        assert said == [("DEBUG", f"no rivo on PATH; running the bundled local rivo {own}")]  # once
