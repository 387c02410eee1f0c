"""Project-file prune, locked image references, the image tar cache, add and sync."""

from __future__ import annotations

import os
import re
import sys
import time

import pytest

import tavro.helpers.rivo as rivo_mod
from tavro.helpers.rivo import RIVO


class ANY_TEMP:
    """Equal to a save's temporary name for archive `tar`: <tar>.<12 hex>.tmp."""

    def __init__(self, tar):
        self.pattern = re.escape(str(tar)) + r"\.[0-9a-f]{12}\.tmp"

    def __eq__(self, other):
        return isinstance(other, str) and re.fullmatch(self.pattern, other) is not None

    def __repr__(self):
        return f"ANY_TEMP({self.pattern})"

@pytest.fixture(autouse=True)
def private_docker_paths(tmp_path, monkeypatch):
    """The machine's docker.real, /usr/bin/docker and /vol are never used."""
    monkeypatch.setattr(rivo_mod, "_DOCKER_REAL", str(tmp_path / "absent" / "docker.real"))
    monkeypatch.setattr(rivo_mod, "_SYSTEM_DOCKER", str(tmp_path / "absent" / "docker"))
    monkeypatch.setattr(rivo_mod, "_WRAPPER_DIR", str(tmp_path / "absent" / "vol-bin"))


@pytest.fixture(autouse=True)
def restore_environ():
    """RIVO._run currently writes its child's settings into os.environ; keep
    them from reaching later tests."""
    saved = dict(os.environ)
    yield
    os.environ.clear()
    os.environ.update(saved)


@pytest.fixture
def vol(tmp_path, monkeypatch):
    """A pipeline volume: project at vol/.rivo_home, cache at vol/.image_cache."""
    v = tmp_path / "vol"
    (v / ".rivo_home").mkdir(parents=True)
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(v))
    return v


def lock_text(tools: dict, extra: str = "") -> str:
    out = ['version = 1', 'generated = "by rivo"', extra, ""]
    for name, entry in tools.items():
        out.append(f"[tools.{name}]")
        out += [f'{k} = "{v}"' for k, v in entry.items()]
        out.append("")
    return "\n".join(out)


def read_toml(path):
    try:
        import tomllib
    except ModuleNotFoundError:  # Python < 3.11
        import tomli as tomllib

    with open(path, "rb") as fh:
        return tomllib.load(fh)


# ------------------------------------------------------------------ prune


@pytest.fixture(params=["tomli_w", "builtin"])
def writer(request, monkeypatch):
    if request.param == "builtin":
        monkeypatch.setitem(sys.modules, "tomli_w", None)
    else:
        pytest.importorskip("tomli_w")
    return request.param


def test_prune_keeps_session_tools_and_everything_else(vol, writer, logs):
    home = vol / ".rivo_home"
    (home / "rivo.lock").write_text(lock_text(
        {"a": {"image_reference": "ra"}, "b": {"image_reference": "rb", "image_digest": "db"},
         "c": {"image_reference": "rc"}}))
    (home / "rivo.toml").write_text('[project]\nname = "p"\n\n[tools.c]\nversion = "2"\n\n'
                                    '[tools."b"]\nversion = "1"\n')
    r = RIVO()
    r._session_tools = ["b", "not-recorded"]
    r._prune_lockfile_to_session()
    lock = read_toml(home / "rivo.lock")
    assert lock == {"version": 1, "generated": "by rivo",
                    "tools": {"b": {"image_reference": "rb", "image_digest": "db"}}}
    assert read_toml(home / "rivo.toml") == {"project": {"name": "p"},
                                             "tools": {"b": {"version": "1"}}}
    assert logs("INFO") == [
        ("INFO", "Pruned stale tools from rivo.lock: %s", (["a", "c"],)),
        ("INFO", "Pruned stale tools from rivo.toml: %s", (["c"],)),
    ]


def test_prune_leaves_files_without_stale_tools_untouched(vol, logs):
    home = vol / ".rivo_home"
    lock = home / "rivo.lock"
    lock.write_text(lock_text({"a": {"image_reference": "ra"}}))
    (home / "rivo.toml").write_text("[project]\nname = 'p'\n")  # no tools table at all
    os.utime(lock, ns=(1_000_000_000, 1_000_000_000))
    r = RIVO()
    r._session_tools = ["a", "b"]
    r._prune_lockfile_to_session()
    assert lock.stat().st_mtime_ns == 1_000_000_000
    assert (home / "rivo.toml").read_text() == "[project]\nname = 'p'\n"
    assert logs() == []


@pytest.mark.parametrize("volume, session", [(False, ["b"]), (True, [])],
                         ids=["no-volume", "no-session-tools"])
def test_prune_does_nothing_without_volume_or_tools(tmp_path, monkeypatch, logs, volume, session):
    home = tmp_path / "vol" / ".rivo_home"
    home.mkdir(parents=True)
    lock = home / "rivo.lock"
    lock.write_text(lock_text({"a": {"image_reference": "ra"}}))
    if volume:
        monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    else:
        monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    monkeypatch.chdir(home)  # a relative lookup would find the files here
    r = RIVO()
    r._session_tools = session
    r._prune_lockfile_to_session()
    assert "[tools.a]" in lock.read_text()
    assert logs() == []


def test_invalid_lockfile_deleted_and_project_file_still_pruned(vol, logs):
    home = vol / ".rivo_home"
    (home / "rivo.lock").write_text("tools = [unclosed\n")
    (home / "rivo.toml").write_text(lock_text({"a": {"v": "1"}, "b": {"v": "2"}}))
    r = RIVO()
    r._session_tools = ["b"]
    r._prune_lockfile_to_session()
    assert not (home / "rivo.lock").exists()
    assert read_toml(home / "rivo.toml")["tools"] == {"b": {"v": "2"}}
    (level, msg, args), *rest = logs()
    assert (level, msg) == ("WARNING", "Could not prune rivo.lock (%s); deleting it for a clean sync")
    assert "line 1" in str(args[0])
    assert rest == [("INFO", "Pruned stale tools from rivo.toml: %s", (["a"],))]


@pytest.mark.parametrize("content", ["tools = [1, 2]\n", "tools = 'text'\n"],
                         ids=["array", "string"])
def test_tools_of_unexpected_shape_deleted(vol, logs, content):
    lock = vol / ".rivo_home" / "rivo.lock"
    lock.write_text(content)
    r = RIVO()
    r._session_tools = ["b"]
    r._prune_lockfile_to_session()
    assert not lock.exists()
    assert logs("WARNING")[0][1] == "Could not prune rivo.lock (%s); deleting it for a clean sync"


def test_failing_write_deletes_that_file_only(vol, logs):
    home = vol / ".rivo_home"
    (home / "rivo.lock").write_text(lock_text({"a": {"image_reference": "ra"}}))
    (home / "rivo.toml").write_text(lock_text({"b": {"v": "1"}}))
    r = RIVO()
    r._session_tools = ["b"]

    def failing(path, data):
        raise OSError("disk full")

    r._write_toml = failing
    r._prune_lockfile_to_session()
    assert not (home / "rivo.lock").exists()
    assert (home / "rivo.toml").exists()
    assert [(m, str(a[0])) for _, m, a in logs("WARNING")] == [
        ("Could not prune rivo.lock (%s); deleting it for a clean sync", "disk full")]


def test_prune_without_toml_reader(vol, monkeypatch, logs):
    monkeypatch.setitem(sys.modules, "tomllib", None)
    monkeypatch.setitem(sys.modules, "tomli", None)
    lock = vol / ".rivo_home" / "rivo.lock"
    lock.write_text(lock_text({"a": {"image_reference": "ra"}}))
    r = RIVO()
    r._session_tools = ["b"]
    r._prune_lockfile_to_session()
    assert "[tools.a]" in lock.read_text()
    assert logs() == [("DEBUG", "No TOML reader; skipping lockfile prune", ())]
    assert r._locked_image_ref("a") == (None, None)


# ------------------------------------------------------ _locked_image_ref


@pytest.mark.parametrize(
    "content, tool, expected",
    [
        (lock_text({"a": {"image_reference": "reg/a:1", "image_digest": "sha256:1"}}), "a",
         ("reg/a:1", "sha256:1")),
        (lock_text({"a": {"image_reference": "reg/a:1"}}), "a", ("reg/a:1", None)),
        (lock_text({"a": {"image_reference": "reg/a:1"}}), "zz", (None, None)),
        ("[tools]\n", "a", (None, None)),
        ("version = 1\n", "a", (None, None)),
        ("not toml at all = = =\n", "a", (None, None)),
        (None, "a", (None, None)),
    ],
    ids=["both", "no-digest", "other-tool", "empty-tools", "no-tools", "invalid", "no-lockfile"],
)
def test_locked_image_ref(vol, content, tool, expected):
    if content is not None:
        (vol / ".rivo_home" / "rivo.lock").write_text(content)
    assert RIVO()._locked_image_ref(tool) == expected


@pytest.mark.parametrize("content", ["tools = [1]\n", "[tools]\na = [1]\n"])
def test_locked_image_ref_unexpected_shape_raises(vol, content):
    (vol / ".rivo_home" / "rivo.lock").write_text(content)
    with pytest.raises(AttributeError):
        RIVO()._locked_image_ref("a")


def test_locked_image_ref_without_volume(tmp_path, monkeypatch):
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    (tmp_path / "rivo.lock").write_text(lock_text({"a": {"image_reference": "r"}}))
    monkeypatch.chdir(tmp_path)
    assert RIVO()._locked_image_ref("a") == (None, None)
    with pytest.raises(TypeError, match=r"^Argument 'tool' has incorrect type \(expected str, got int\)$"):
        RIVO()._locked_image_ref(1)


# -------------------------------------------------------------- the cache


def test_cache_off_without_volume(docker, monkeypatch, logs):
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    r = RIVO()
    r._locked_image_ref = lambda tool: pytest.fail("lockfile read")
    assert r._cache_tar("x") == ""
    assert r._load_cached_image("x") is False
    assert r._save_image_to_cache("x") is None
    assert docker.calls == []
    assert logs() == []


def test_cache_paths_and_name_checks(vol):
    r = RIVO()
    assert r._cache_tar("x") == str(vol / ".image_cache" / "x.tar")
    assert r._cache_tar("..x") == str(vol / ".image_cache" / "..x.tar")
    with pytest.raises(TypeError, match=r"^Argument 'tool' has incorrect type \(expected str, got bytes\)$"):
        r._cache_tar(b"x")


BAD_NAMES = ["", ".", "..", "a/b", "../../etc/x", "/abs", "a\x00b"]


@pytest.mark.parametrize("name", BAD_NAMES)
def test_bad_tool_names_touch_nothing(vol, docker, fake_rivo, monkeypatch, name):
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    r = RIVO()
    for op in (r._cache_tar, r._load_cached_image, r._save_image_to_cache):
        with pytest.raises(ValueError, match="single path component"):
            op(name)
    with pytest.raises(ValueError, match="single path component"):
        r.add("good", name)
    assert r._session_tools == []
    assert fake_rivo.calls == [] and docker.calls == []
    assert not (vol / ".image_cache").exists()


def test_load_without_archive(vol, docker, logs):
    assert RIVO()._load_cached_image("x") is False
    assert docker.calls == [] and logs() == []


def test_load_success(vol, docker, logs):
    tar = vol / ".image_cache" / "x.tar"
    tar.parent.mkdir()
    tar.write_text("archive")
    assert RIVO()._load_cached_image("x") is True
    assert docker.calls == [["load", "-i", str(tar)]]
    assert logs() == [("INFO", "Restoring cached image for %s from %s", ("x", str(tar)))]


def test_load_rejected_by_docker(vol, docker, logs):
    tar = vol / ".image_cache" / "x.tar"
    tar.parent.mkdir()
    tar.write_text("garbage")
    docker.behave("""
        sys.stderr.write("  open /var/lib/docker/tmp: invalid tar header\\n\\n")
        sys.exit(1)
    """)
    assert RIVO()._load_cached_image("x") is False
    assert tar.exists()
    assert logs("WARNING") == [("WARNING", "docker load for %s failed (will re-pull): %s",
                                ("x", "open /var/lib/docker/tmp: invalid tar header"))]


def test_load_errors_are_logged(vol, tmp_path, logs):
    tar = vol / ".image_cache" / "x.tar"
    tar.parent.mkdir()
    tar.write_text("archive")
    r = RIVO()
    r._real_docker = lambda: str(tmp_path / "missing-docker")
    assert r._load_cached_image("x") is False
    (_, msg, (tool, err)), = logs("WARNING")
    assert (msg, tool) == ("docker load for %s errored (will re-pull): %s", "x")
    assert isinstance(err, FileNotFoundError)


def _lock(vol, ref="reg/x:1"):
    (vol / ".rivo_home" / "rivo.lock").write_text(lock_text({"x": {"image_reference": ref}}))


def test_save_success_leaves_only_the_tar(vol, docker, logs):
    _lock(vol)
    RIVO()._save_image_to_cache("x")
    cache = vol / ".image_cache"
    tar = cache / "x.tar"
    assert sorted(p.name for p in cache.iterdir()) == ["x.tar"]
    assert tar.read_text() == "archive of reg/x:1"
    assert docker.calls == [["save", "reg/x:1", "-o", ANY_TEMP(tar)]]
    assert logs() == [("INFO", "Caching image %s for %s -> %s", ("reg/x:1", "x", str(tar)))]


@pytest.mark.parametrize("how", ["argument", "environment"])
def test_the_local_backend_keeps_no_image_archive(fake_rivo, vol, docker, logs, monkeypatch, how):
    _lock(vol)
    (vol / ".image_cache").mkdir()
    (vol / ".image_cache" / "y.tar").write_text("an old archive")
    if how == "environment":
        monkeypatch.setenv("RIVO_BACKEND", "local")
    r = RIVO(backend="local" if how == "argument" else None)
    r.add("x", "y")
    assert docker.calls == []
    assert sorted(p.name for p in (vol / ".image_cache").iterdir()) == ["y.tar"]
    assert [rec for rec in logs() if rec[0] != "DEBUG" or "image archive" in rec[1]] == [
        ("DEBUG", "No image archive for %s: the local backend runs it without an image", (t,)) for t in "yx"]


def test_save_skips_existing_archive_without_reading_lockfile(vol, docker):
    tar = vol / ".image_cache" / "x.tar"
    tar.parent.mkdir()
    tar.write_text("old")
    r = RIVO()
    r._locked_image_ref = lambda tool: pytest.fail("lockfile read")
    r._save_image_to_cache("x")
    assert tar.read_text() == "old" and docker.calls == []


@pytest.mark.parametrize("lock", [None, 'image_reference = ""'], ids=["no-entry", "empty-ref"])
def test_save_without_locked_ref(vol, docker, logs, lock):
    if lock:
        (vol / ".rivo_home" / "rivo.lock").write_text(f"[tools.x]\n{lock}\n")
    RIVO()._save_image_to_cache("x")
    assert not (vol / ".image_cache").exists()
    assert docker.calls == []
    assert logs() == [("DEBUG", "No locked image ref for %s; skipping save", ("x",))]


def test_failed_save_leaves_nothing_and_is_retried(vol, docker, logs):
    _lock(vol)
    docker.behave("""
        if not os.path.exists(log + ".failed"):
            open(log + ".failed", "w").close()
            open(args[-1], "w").write("half an archive")
            sys.stderr.write("Error response from daemon: no space left on device\\n")
            sys.exit(1)
    """)
    r = RIVO()
    r._save_image_to_cache("x")
    cache = vol / ".image_cache"
    assert list(cache.iterdir()) == []
    assert logs("WARNING") == [("WARNING", "docker save for %s failed: %s",
                                ("x", "Error response from daemon: no space left on device"))]
    r._save_image_to_cache("x")
    assert sorted(p.name for p in cache.iterdir()) == ["x.tar"]


def test_save_errors_are_logged_and_temp_removed(vol, tmp_path, logs):
    _lock(vol)
    (vol / ".image_cache").mkdir()
    # left by saves that died long ago (older than a save may run)
    for name in ("x.tar.tmp", "x.tar.0123456789ab.tmp"):
        (vol / ".image_cache" / name).write_text("left by an interrupted save")
        os.utime(vol / ".image_cache" / name, (time.time() - 4 * 3600,) * 2)
    r = RIVO()
    r._real_docker = lambda: str(tmp_path / "missing-docker")
    r._save_image_to_cache("x")
    assert list((vol / ".image_cache").iterdir()) == []
    (_, msg, (tool, err)), = logs("WARNING")
    assert (msg, tool) == ("docker save for %s errored: %s", "x")
    assert isinstance(err, FileNotFoundError)


def test_save_cache_directory_failure_raises(vol, docker):
    _lock(vol)
    (vol / ".image_cache").write_text("a file where the cache directory should be")
    r = RIVO()
    r._cache_tar = lambda tool: str(vol / "elsewhere" / "x.tar")
    with pytest.raises(FileExistsError):
        r._save_image_to_cache("x")
    assert docker.calls == []


def test_real_docker_lookup(tmp_path, bindir, monkeypatch):
    monkeypatch.setenv("PATH", str(bindir))
    r = RIVO()
    assert r._real_docker() == "docker"
    (bindir / "docker").write_text("#!/bin/sh\n")
    (bindir / "docker").chmod(0o755)
    assert r._real_docker() == str(bindir / "docker")
    real = tmp_path / "absent" / "docker.real"
    real.parent.mkdir()
    real.write_text("#!/bin/sh\n")
    assert r._real_docker() == str(real)
    (bindir / "docker.real").write_text("#!/bin/sh\n")
    (bindir / "docker.real").chmod(0o755)
    assert r._real_docker() == str(bindir / "docker.real")


# ----------------------------------------------------------- add and sync


@pytest.mark.parametrize(
    "backend, registry, tools, argv",
    [
        (None, None, ("a",), ["add", "a"]),
        ("docker", "", ("a", "b"), ["add", "a", "b", "--backend", "docker"]),
        ("", "https://r.git", ("a",), ["add", "a", "--registry", "https://r.git"]),
        ("apptainer", "r", (), ["add", "--backend", "apptainer", "--registry", "r"]),
    ],
)
def test_add_command_line(fake_rivo, backend, registry, tools, argv):
    r = RIVO(backend, registry)
    r.add(*tools)
    assert [c["argv"] for c in fake_rivo.calls] == [argv]
    assert r._session_tools == list(dict.fromkeys(tools))


def _spy(r, fake_rivo):
    events = []
    r._load_cached_image = lambda t: events.append(("load", t, len(fake_rivo.calls)))
    r._save_image_to_cache = lambda t: events.append(("save", t, len(fake_rivo.calls)))
    return events


def test_add_order_and_duplicates(fake_rivo):
    r = RIVO()
    r._session_tools.append("b")
    events = _spy(r, fake_rivo)
    r.add("a", "b", "a")
    assert r._session_tools == ["b", "a"]
    assert events == [("load", "a", 0), ("load", "b", 0), ("load", "a", 0),
                      ("save", "a", 1), ("save", "b", 1), ("save", "a", 1)]
    assert fake_rivo.calls[0]["argv"] == ["add", "a", "b", "a"]


def test_add_without_names(fake_rivo):
    r = RIVO(backend="docker")
    events = _spy(r, fake_rivo)
    r.add()
    assert events == [] and r._session_tools == []
    assert fake_rivo.calls[0]["argv"] == ["add", "--backend", "docker"]


def test_failed_add_keeps_session_and_saves_nothing(fake_rivo):
    fake_rivo.behave("if sys.argv[1] == 'add': sys.exit(3)")
    r = RIVO()
    events = _spy(r, fake_rivo)
    with pytest.raises(RuntimeError, match=r"^rivo add a failed \(exit 3\)"):
        r.add("a")
    assert r._session_tools == ["a"]
    assert [e[0] for e in events] == ["load"]


def test_add_with_non_text_name(fake_rivo):
    r = RIVO()
    with pytest.raises(TypeError, match="Argument 'tool' has incorrect type"):
        r.add("a", 5)
    assert r._session_tools == ["a", 5]
    assert fake_rivo.calls == []


@pytest.mark.parametrize(
    "backend, frozen, argv",
    [
        ("apptainer", True, ["sync", "--backend", "apptainer", "--frozen"]),
        (None, True, ["sync", "--frozen"]),
        ("", False, ["sync"]),
        ("docker", "yes", ["sync", "--backend", "docker", "--frozen"]),
        ("docker", 0, ["sync", "--backend", "docker"]),
    ],
)
def test_sync_command_line(fake_rivo, backend, frozen, argv):
    r = RIVO(backend, registry="never-passed")
    r.sync(frozen=frozen)
    assert [c["argv"] for c in fake_rivo.calls] == [argv]


def test_sync_prunes_first_and_stops_when_prune_raises(fake_rivo):
    r = RIVO()
    seen = []
    r._prune_lockfile_to_session = lambda: seen.append(len(fake_rivo.calls))
    r.sync()
    assert seen == [0] and len(fake_rivo.calls) == 1

    def broken():
        raise KeyError("boom")

    r._prune_lockfile_to_session = broken
    with pytest.raises(KeyError):
        r.sync()
    assert len(fake_rivo.calls) == 1


ADD_WRITES_LOCK = """
args = sys.argv[1:]
if args[0] == "add":
    with open("rivo.lock", "w") as fh:
        for t in args[1:]:
            fh.write(f'[tools.{t}]\\nimage_reference = "reg/{t}:1"\\n')
if args[0] == "sync":
    with open(os.environ["FAKE_RIVO_LOG"] + ".lock-at-sync", "w") as fh:
        fh.write(open("rivo.lock").read())
"""


def test_add_and_sync_with_cache_end_to_end(fake_rivo, docker, vol, monkeypatch, logs):
    fake_rivo.behave(ADD_WRITES_LOCK)
    first = RIVO()
    first.add("samtools")
    tar = vol / ".image_cache" / "samtools.tar"
    assert tar.read_text() == "archive of reg/samtools:1"
    assert docker.calls == [["save", "reg/samtools:1", "-o", ANY_TEMP(tar)]]

    # a later run: restored from the archive before rivo add, not saved again
    second = RIVO()
    second.add("samtools", "bwa")
    assert docker.calls[1:] == [["load", "-i", str(tar)],
                                ["save", "reg/bwa:1", "-o", ANY_TEMP(vol / ".image_cache" / "bwa.tar")]]
    assert fake_rivo.calls[-1]["cwd"] == str(vol / ".rivo_home")

    # sync with only samtools in this run: bwa is pruned before rivo sync runs
    third = RIVO()
    third._session_tools = ["samtools"]
    third.sync()
    seen = read_toml(fake_rivo.log.parent / (fake_rivo.log.name + ".lock-at-sync"))
    assert seen == {"tools": {"samtools": {"image_reference": "reg/samtools:1"}}}
    assert ("INFO", "Pruned stale tools from rivo.lock: %s", (["bwa"],)) in logs()


def test_subclass_overrides_are_used(fake_rivo, vol):
    calls = []

    class Custom(RIVO):
        def _load_cached_image(self, tool):
            calls.append(("load", tool))
            return True

        def _save_image_to_cache(self, tool):
            calls.append(("save", tool))

        def _prune_lockfile_to_session(self):
            calls.append(("prune",))

    c = Custom()
    c.add("t")
    c.sync()
    assert calls == [("load", "t"), ("save", "t"), ("prune",)]


# ------------------------------------------------- with the local rivo command


def _local_rivo():
    import tavro.helpers

    for folder in tavro.helpers.__path__:
        exe = os.path.join(folder, "_bin", "rivo")
        if os.access(exe, os.X_OK):
            return exe
    return None


@pytest.mark.parametrize("writer_kind", ["tomli_w", "builtin"])
def test_pruned_files_stay_readable_by_rivo(bindir, docker, vol, monkeypatch, writer_kind):
    exe = _local_rivo()
    if exe is None:
        pytest.skip("the local rivo command was not built")
    if writer_kind == "builtin":
        monkeypatch.setitem(sys.modules, "tomli_w", None)
    (bindir / "rivo").symlink_to(exe)
    monkeypatch.delenv("RIVO_REGISTRY", raising=False)
    registry = os.path.join(os.path.dirname(__file__), os.pardir, "registry")
    if not os.path.isdir(registry):
        pytest.skip("no registry folder")
    first = RIVO(backend="local", registry=os.path.abspath(registry))
    first.add("seqtk_seq", "samtools_view")
    home = vol / ".rivo_home"
    assert set(read_toml(home / "rivo.lock")["tools"]) == {"seqtk_seq", "samtools_view"}
    assert not (vol / ".image_cache").exists()  # the local backend has no images to keep

    second = RIVO(backend="local")
    second._session_tools = ["seqtk_seq"]
    second.sync()
    lock = read_toml(home / "rivo.lock")
    assert set(lock["tools"]) == {"seqtk_seq"}
    assert lock["tools"]["seqtk_seq"]["binaries"]
    assert set(read_toml(home / "rivo.toml")["tools"]) == {"seqtk_seq"}
    listed = second._run(["list"]).stdout
    assert "seqtk_seq" in listed and "samtools_view" not in listed
