"""The local rivo command, driven through RIVO's project commands."""

from __future__ import annotations

import json
import os
from pathlib import Path

import pytest
from helpers import REPO, link_local_rivo, needs_local_rivo, run_example_pipeline, tomllib

from tavro.helpers.rivo import RIVO

pytestmark = needs_local_rivo()


@pytest.fixture
def project(tmp_path, monkeypatch, bindir, isolated_tmp):
    """A persistent project on a private 'volume', the local backend, no Docker."""
    link_local_rivo(bindir, docker="#!/bin/sh\necho 'no docker here' >&2\nexit 1\n")
    vol = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    monkeypatch.setenv("RIVO_REGISTRY", str(REPO / "registry"))
    monkeypatch.setenv("RIVO_BACKEND", "local")
    return vol / ".rivo_home"


def test_add_show_lock_list_remove(project):
    r = RIVO()
    r.add("minimap2", "samtools_sort")
    lock = tomllib.loads((project / "rivo.lock").read_text())
    assert set(lock["tools"]) == {"minimap2", "samtools_sort"}
    assert lock["tools"]["minimap2"]["image_reference"].startswith("quay.io/biocontainers/minimap2")
    assert "image_digest" not in lock["tools"]["minimap2"]  # the local backend has no image
    assert lock["tools"]["minimap2"]["definition_digest"].startswith("sha256:")
    assert set(tomllib.loads((project / "rivo.toml").read_text())["tools"]) == set(lock["tools"])

    manifest = r.parse_show("minimap2")
    assert manifest == {
        "image": lock["tools"]["minimap2"]["image_reference"],
        "entrypoint": "minimap2",
        "args_template": "-a {reference} {reads} > {alignment}",
        "gpu_required": False,
    }
    schema = json.loads(r.show("minimap2", "json").stdout)
    assert schema["outputs"]["alignment"]["type"] == "sam"

    r.lock(check=True)
    assert "samtools" in r.list_tools(binaries=True).stdout
    assert "minimap2" in r.search("align").stdout
    assert "Image digest: -\n" in r.info("minimap2").stdout

    r.remove("samtools_sort")
    assert set(tomllib.loads((project / "rivo.lock").read_text())["tools"]) == {"minimap2"}
    r.sync()


@pytest.mark.parametrize(
    "args, needle",
    [
        (["add", "no_such_tool"], "no_such_tool"),
        (["show", "no_such_tool"], "no_such_tool"),
    ],
)
def test_unknown_tool_fails_with_its_name(project, args, needle):
    with pytest.raises(RuntimeError) as info:
        RIVO()._run(args)
    assert f"rivo {' '.join(args)} failed (exit" in str(info.value)
    assert needle in str(info.value).split("STDERR: ", 1)[1]


def test_exec_runs_in_the_working_directory_with_workspace_paths(project, tmp_path):
    work = tmp_path / "work"
    work.mkdir()
    (work / "in.txt").write_text("payload\n")
    cp = RIVO()._run(["exec", "cat", "/workspace/in.txt"], cwd=str(work))
    assert cp.stdout == "payload\n"
    cp = RIVO().exec("printf 'a\\r\\nb' > out.bin; echo done >&2")
    assert cp.stderr == "done\n"


def test_exec_missing_file_and_exit_status(project, tmp_path):
    with pytest.raises(RuntimeError) as info:
        RIVO()._run(["exec", "cat", "/workspace/missing.txt"], cwd=str(tmp_path))
    assert "No such file or directory" in str(info.value)
    with pytest.raises(RuntimeError, match=r"failed \(exit 3\)"):
        RIVO().exec("exit 3")


def test_example_pipeline_runs(tmp_path):
    tools = ("minimap2", "samtools", "seqtk")
    if not all(any((Path(d) / t).exists() for d in os.environ["PATH"].split(os.pathsep)) for t in tools):
        pytest.skip("minimap2, samtools and seqtk are needed")
    out = run_example_pipeline("local", tmp_path / "w", timeout=120)
    assert out.returncode == 0, out.stderr
    assert "wires the nodes itself" in out.stdout
    assert "400 + 0 mapped (100.00% : N/A)" in out.stdout
