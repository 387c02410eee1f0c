"""The local rivo's `show` text as parse_show reads it, and Git registries."""

from __future__ import annotations

import logging
import os
import shlex
import shutil
import subprocess
import time
from pathlib import Path

import pytest
from helpers import REPO, link_local_rivo, needs_local_rivo, tomllib

from tavro.helpers.rivo import RIVO

pytestmark = needs_local_rivo()


@pytest.fixture
def local(tmp_path, monkeypatch, bindir, isolated_tmp):
    """The local rivo first on PATH, a private volume and cache, no Docker."""
    link_local_rivo(bindir, docker="#!/bin/sh\nexit 1\n")
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    monkeypatch.setenv("RIVO_BACKEND", "local")
    monkeypatch.setenv("RIVO_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("RIVO_REGISTRY", raising=False)
    return tmp_path


def expected_manifest(definition: dict, name: str) -> dict:
    template = definition.get("args_template", "")
    return {
        "image": definition.get("image", ""),
        "entrypoint": definition.get("entrypoint") or (definition.get("binaries") or [name])[0],
        "args_template": template,
        "gpu_required": definition.get("gpu_required", False),
    }


@pytest.mark.parametrize("path", sorted((REPO / "registry").glob("*.toml")), ids=lambda p: p.stem)
def test_shipped_definitions_read_back_exactly(local, monkeypatch, path):
    monkeypatch.setenv("RIVO_REGISTRY", str(REPO / "registry"))
    definition = tomllib.loads(path.read_text())
    assert RIVO().parse_show(path.stem) == expected_manifest(definition, path.stem)


HOSTILE = {
    # free text that the GPU rule or a label would otherwise take
    "cpu_tool": '''description = """A CPU tool: a GPU is not required.
GPU: TRUE
  Image: evil/image:6
Args template: rm -rf {x}"""
image = "reg/cpu:1"
args_template = "run {x}"
version = "gpu-true"
binaries = ["gpu_required"]

[inputs."Entrypoint: evil"]
type = "gpu required"
description = "needs GPU=true\\nImage: evil/slot:1"

[outputs.out]
description = "Gpu\\u2028Image: evil/sep:1\\u0085Args template: x"
''',
    # a value with line breaks of every kind stays on its one line
    "multiline": r'''image = "reg/multi:1"
entrypoint = "multi"
args_template = """
  -a {reference} \
  --threads 4
  {reads}\r
  > {out}"""
description = "Split\u2029GPU required\u000bGPU: true\fImage: x\u001cImage: y"
''',
    "gpu_tool": '''description = "needs a GPU"
image = "reg/gpu:1"
gpu_required = true
args_template = "train --data {data}"
''',
    "gpu-required-true": '''image = "reg/name:1"
''',
}


@pytest.mark.parametrize("name", sorted(HOSTILE))
def test_hostile_free_text_never_reads_as_a_value(local, monkeypatch, name):
    reg = local / "reg"
    reg.mkdir()
    (reg / f"{name}.toml").write_text(HOSTILE[name])
    monkeypatch.setenv("RIVO_REGISTRY", str(reg))
    definition = tomllib.loads(HOSTILE[name])
    r = RIVO()
    manifest = r.parse_show(name)
    expected = expected_manifest(definition, name)
    template = expected.pop("args_template")
    got_template = manifest.pop("args_template")
    assert manifest == expected
    # the template comes back on one line, splitting into the same arguments
    # (a backslash at a line end continues the line, as in the shell)
    assert "\n" not in got_template
    assert shlex.split(got_template) == shlex.split(template.replace("\\\n", ""))
    # the text a person reads still says what the definition says
    shown = r.show(name).stdout.replace("\u2060", "")
    for line in definition.get("description", "").splitlines():
        assert line.strip() in shown


DEEP = ".".join(["a"] * 400_000)  # about the depth that made toml++ recurse off its stack
TOO_DEEP = {
    "dotted key": DEEP + " = 1\n",
    "table header": f"[{DEEP}]\n",
    "array of tables": f"[[tools.{DEEP}]]\n",
    "inline tables": "x = " + "{a = " * 200 + "1" + "}" * 200 + "\n",
}
# Deep enough to show the bound is not tiny, with every kind of text whose
# dots and brackets are no structure.
LEGAL = ('image = "reg/t:1"\n' + ".".join(["k"] * 100) + ' = "a.b.c[[{{"\n'
         "'lit.key'.\"q.k\" = 'x.y.[z]'\n"
         'notes = """\n[[not.a.table]]\n""""\n'
         "raw = '''\n{{{{.}}}}\n'''\n"
         "when = 1979-05-27 07:32:00Z\n"
         "floats = [" + ", ".join(["1.5"] * 300) + "]  # 1.5.1.5\n"
         "[outputs.out]\ntype = \"x.y\"\n")


@pytest.mark.parametrize("kind", sorted(TOO_DEEP))
def test_over_deep_files_are_refused_by_name_never_crash(local, monkeypatch, kind):
    reg = local / "reg"
    reg.mkdir()
    (reg / "good.toml").write_text('image = "reg/good:1"\ndescription = "a good tool"\n')
    (reg / "legal.toml").write_text(LEGAL)
    (reg / "deep.toml").write_text('image = "reg/deep:1"\n' + TOO_DEEP[kind])
    monkeypatch.setenv("RIVO_REGISTRY", str(reg))
    limit = "keys and tables nested more than 128 levels deep"

    cp = subprocess.run(["rivo", "show", "deep"], capture_output=True, text=True, timeout=30)
    assert (cp.returncode, cp.stderr) == (1, f"rivo: {reg / 'deep.toml'}:2: {limit}; rivo does not read such a file\n")
    # One such definition does not break the search of the whole registry.
    cp = subprocess.run(["rivo", "search", ""], capture_output=True, text=True, timeout=30)
    assert cp.returncode == 0
    assert [line.split()[0] for line in cp.stdout.splitlines()[1:]] == ["good", "legal"]
    assert cp.stderr.startswith(f"rivo: skipping deep: {reg / 'deep.toml'}:2: {limit}")

    assert subprocess.run(["rivo", "show", "legal"], capture_output=True, timeout=30).returncode == 0
    proj = local / "proj"
    proj.mkdir()
    for name in ("rivo.toml", "rivo.lock"):
        (proj / name).write_text(TOO_DEEP[kind])
        cp = subprocess.run(["rivo", "list"], capture_output=True, text=True, timeout=30, cwd=proj)
        assert cp.returncode == 1 and cp.stderr.startswith(f"rivo: {proj / name}:1: {limit}")
        (proj / name).unlink()


def make_git_registry(root: Path, definitions: dict[str, str]) -> tuple[Path, Path]:
    """A bare repository (the remote) and a working copy that pushes to it."""
    bare, work = root / "remote.git", root / "work"
    env = {**os.environ, "GIT_AUTHOR_NAME": "t", "GIT_AUTHOR_EMAIL": "t@example.org",
           "GIT_COMMITTER_NAME": "t", "GIT_COMMITTER_EMAIL": "t@example.org"}
    subprocess.run(["git", "init", "-q", "--bare", str(bare)], check=True)
    subprocess.run(["git", "init", "-q", str(work)], check=True)
    push_definitions(work, definitions, env)
    return bare, work


def push_definitions(work: Path, definitions: dict[str, str], env=None) -> None:
    env = env or {**os.environ, "GIT_AUTHOR_NAME": "t", "GIT_AUTHOR_EMAIL": "t@example.org",
                  "GIT_COMMITTER_NAME": "t", "GIT_COMMITTER_EMAIL": "t@example.org"}
    for name, text in definitions.items():
        (work / f"{name}.toml").write_text(text)
    git = ["git", "-C", str(work)]
    subprocess.run(git + ["add", "-A"], check=True, env=env)
    subprocess.run(git + ["commit", "-qm", "definitions"], check=True, env=env)
    subprocess.run(git + ["push", "-q", str(work.parent / "remote.git"), "HEAD:refs/heads/main"],
                   check=True, env=env, capture_output=True)
    subprocess.run(["git", "--git-dir", str(work.parent / "remote.git"), "symbolic-ref", "HEAD",
                    "refs/heads/main"], check=True)


@pytest.mark.skipif(shutil.which("git") is None, reason="git is needed")
def test_git_registry_clone_refresh_offline_and_no_copy(local, caplog):
    caplog.set_level(logging.WARNING, "tavro.helpers.rivo")
    bare, work = make_git_registry(local / "git", {"one": 'image = "reg/one:1"\nargs_template = "a {x}"\n'})
    url = f"file://{bare}"
    r = RIVO(backend="local", registry=url)

    # cloned once into the cache, keyed by the URL
    r.add("one")
    checkouts = [p for p in (local / "cache" / "registries").iterdir() if p.is_dir()]
    assert len(checkouts) == 1 and (checkouts[0] / "one.toml").is_file()
    home = local / "vol" / ".rivo_home"
    assert tomllib.loads((home / "rivo.toml").read_text())["tools"]["one"]["registry"] == url

    # a definition pushed later is found: add refreshes the copy
    push_definitions(work, {"two": 'image = "reg/two:2"\n'})
    r.add("two")
    assert set(tomllib.loads((home / "rivo.lock").read_text())["tools"]) == {"one", "two"}
    assert not [rec for rec in caplog.records if "registry" in rec.getMessage()]

    # the remote gone: the cached copy serves, with a warning
    bare.rename(bare.with_name("gone.git"))
    r.add("two")
    r.sync()
    warnings = [rec.getMessage() for rec in caplog.records if "registry" in rec.getMessage()]
    assert warnings and all(f"cannot update registry {url}" in w for w in warnings)
    assert "using the cached copy" in warnings[0]
    assert r.parse_show("one")["image"] == "reg/one:1"

    # no copy and no remote: a clear error
    with pytest.raises(RuntimeError) as info:
        RIVO(backend="local", registry=url.replace("remote.git", "elsewhere.git")).add("one")
    assert f"cannot clone registry {url.replace('remote.git', 'elsewhere.git')}" in str(info.value)
    assert "no cached copy" in str(info.value)


@pytest.mark.skipif(shutil.which("git") is None, reason="git is needed")
def test_git_registry_cache_lives_in_the_user_cache_dir(local, monkeypatch):
    bare, _ = make_git_registry(local / "git", {"one": 'image = "reg/one:1"\n'})
    monkeypatch.delenv("RIVO_CACHE_DIR")
    monkeypatch.setenv("XDG_CACHE_HOME", str(local / "xdg"))
    monkeypatch.setenv("RIVO_REGISTRY", f"file://{bare}")
    assert RIVO().parse_show("one")["image"] == "reg/one:1"
    assert [p.name for p in (local / "xdg" / "rivo" / "registries").iterdir() if p.is_dir()]


def test_time_limit_ends_a_hanging_registry_fetch(local, bindir, tmp_path, monkeypatch):
    # A remote that never answers: _run's time limit ends rivo's own group,
    # and rivo takes its git child (a group of its own) down with it.
    mark = tmp_path / "git.pid"
    (bindir / "git").write_text(f"#!/bin/sh\necho $$ > {mark}\nexec sleep 100\n")
    (bindir / "git").chmod(0o755)
    monkeypatch.setenv("RIVO_REGISTRY", "https://registry.invalid/tools.git")
    with pytest.raises(RuntimeError, match="timed out after 2s"):
        RIVO()._run(["add", "seqtk_seq"], timeout=2)
    pid = int(mark.read_text())
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline and os.path.exists(f"/proc/{pid}"):
        time.sleep(0.05)
    assert not os.path.exists(f"/proc/{pid}") or "Z" in Path(f"/proc/{pid}/stat").read_text().split()[2]
