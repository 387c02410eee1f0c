"""A tool's [resources] in the local rivo: how they are read, shown and
overridden, and what the local backend says of them. What the docker backend
makes of them is in test_local_rivo_docker.py (fake client) and
test_local_rivo_containers.py (the private daemon)."""

from __future__ import annotations

import json
import subprocess
from pathlib import Path

import pytest
from helpers import LOCAL_RIVO, REPO, needs_local_rivo

from tavro.helpers.rivo import RIVO

pytestmark = needs_local_rivo()

BOUNDED = REPO / "tests" / "data" / "registry" / "bounded_shell.toml"
HEAD = 'image = "reg/tool:1"\nbinaries = ["true"]\nargs_template = "x {a}"\n'


@pytest.fixture
def reg(tmp_path, monkeypatch, bindir):
    (bindir / "rivo").symlink_to(LOCAL_RIVO)
    d = tmp_path / "registry"
    d.mkdir()
    monkeypatch.setenv("RIVO_REGISTRY", str(d))
    monkeypatch.setenv("RIVO_BACKEND", "local")
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    for var in ("RIVO_CPUS", "RIVO_MEMORY", "RIVO_TIME", "RIVO_DEBUG"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.chdir(tmp_path)
    return d


def rivo(*args, check=True):
    cp = subprocess.run(["rivo", *args], capture_output=True, text=True, timeout=30)
    if check:
        assert cp.returncode == 0, cp.stderr
    return cp


@pytest.mark.parametrize(
    "table, shown",
    [
        ('cpus = 2\nmemory = "4 GiB"\ntime = "2h"',
         {"cpus": 2, "memory": "4 GiB", "time": "2h", "memory_bytes": 4 << 30, "time_seconds": 7200}),
        ('cpus = 0.5\nmemory = "1.5GiB"', {"cpus": 0.5, "memory": "1.5GiB", "memory_bytes": 3 << 29}),
        ('memory = "512M"\ntime = "1h30m"', {"memory": "512M", "time": "1h30m", "memory_bytes": 512 << 20,
                                             "time_seconds": 5400}),
        ('memory = "100 KB"\ntime = "01:02:03"', {"memory": "100 KB", "time": "01:02:03",
                                                  "memory_bytes": 102400, "time_seconds": 3723}),
        ('time = "1d"', {"time": "1d", "time_seconds": 86400}),
        ('memory = "3 B"\ntime = "90s"', {"memory": "3 B", "time": "90s", "memory_bytes": 3, "time_seconds": 90}),
    ],
)
def test_resources_are_shown_as_written_and_normalised(reg, table, shown):
    (reg / "tool.toml").write_text(HEAD + "[resources]\n" + table + "\n")
    doc = json.loads(rivo("show", "tool", "--format", "json").stdout)
    assert doc["resources"] == shown
    assert list(doc["resources"]) == list(shown)  # values first, then the normalised ones


def test_show_of_a_definition_without_resources_and_parse_show_unchanged(reg):
    (reg / "plain.toml").write_text(HEAD)
    (reg / "bounded.toml").write_text(HEAD + '[resources]\ncpus = 4\nmemory = "8 GiB"\n')
    assert "resources" not in json.loads(rivo("show", "plain", "--format", "json").stdout)
    text = rivo("show", "bounded").stdout
    assert "cpus 4, memory 8 GiB" in text  # said, on a line no reader takes
    r = RIVO()
    assert r.parse_show("bounded") == r.parse_show("plain")


@pytest.mark.parametrize(
    "table, message",
    [
        ("cpus = 0", "resources.cpus = 0: must be a number of CPUs above 0"),
        ('cpus = "two"', "'resources.cpus' must be a number such as 2 or 0.5, not string"),
        ("cpus = true", "'resources.cpus' must be a number such as 2 or 0.5, not boolean"),
        ('memory = "4"', 'resources.memory = "4": needs a unit'),
        ('memory = "4 XB"', "has an unknown unit 'XB'"),
        ('memory = "0 GiB"', "must be more than 0 bytes"),
        ('memory = "99999999999 TiB"', "is too large"),
        ("memory = 4096", "'resources.memory' must be a text such as \"4 GiB\", not integer"),
        ('time = "90"', 'resources.time = "90": needs a unit'),
        ('time = "30m2h"', "must be a duration such as"),
        ('time = "25:61:00"', "must be a duration such as"),
        ('time = "0s"', "must be longer than 0 seconds"),
        ("gpus = 1", "unknown key 'resources.gpus' (expected cpus, memory or time)"),
    ],
)
def test_bad_resources_are_refused_naming_file_and_key(reg, table, message):
    (reg / "tool.toml").write_text(HEAD + "[resources]\n" + table + "\n")
    for cmd in (["show", "tool"], ["add", "tool"]):
        cp = rivo(*cmd, check=False)
        assert cp.returncode == 1
        assert cp.stderr.startswith(f"rivo: {reg / 'tool.toml'}:5:")
        assert message in cp.stderr
    (reg / "tool.toml").write_text(HEAD + 'resources = "big"\n')
    assert "'resources' must be a table" in rivo("show", "tool", check=False).stderr


def test_local_backend_says_once_it_cannot_enforce_resources(reg, monkeypatch):
    (reg / "bounded_shell.toml").write_text(BOUNDED.read_text())
    rivo("add", "bounded_shell")
    assert rivo("exec", "sh", "-c", "echo ok").stderr == ""  # quiet without RIVO_DEBUG
    monkeypatch.setenv("RIVO_DEBUG", "1")
    monkeypatch.setenv("RIVO_MEMORY", "2 GiB")  # an override wins over the definition
    cp = rivo("exec", "sh", "-c", "echo ok")
    assert cp.stdout == "ok\n"
    assert cp.stderr.splitlines() == [
        "rivo: debug: the local backend cannot enforce the tool's resources "
        "(cpus 1, memory 2 GiB, time 10m): it runs without limits"]


@pytest.mark.parametrize(
    "var, value", [("RIVO_CPUS", "none"), ("RIVO_MEMORY", "lots"), ("RIVO_TIME", "soon")])
def test_bad_override_is_refused_naming_the_variable(reg, monkeypatch, var, value):
    monkeypatch.setenv(var, value)
    cp = rivo("exec", "true", check=False)
    assert cp.returncode == 2
    assert cp.stderr.startswith(f"rivo: {var}={value}: ")
