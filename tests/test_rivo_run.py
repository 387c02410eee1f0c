"""RIVO.run: sandbox, project files, staging, argument template, clean-up, threads."""

from __future__ import annotations

import gzip
import os
import re
import stat
import subprocess
import threading
import time
from pathlib import Path

import pytest

from helpers import tool

from tavro.helpers.rivo import RIVO


class Recorder(RIVO):
    """Replaces the command runner: records every call and looks at the
    sandbox while the "tool" runs."""

    def __init__(self, *results):
        super().__init__()
        self.calls = []
        self.listings = []
        self.results = list(results)

    def _run(self, cmd, **kw):
        self.calls.append((list(cmd), kw))
        self.listings.append(sorted(os.listdir(kw["cwd"])))
        r = self.results.pop(0) if self.results else ""
        if isinstance(r, BaseException):
            raise r
        return subprocess.CompletedProcess(["rivo", *cmd], 0, r, "")


def sandboxes(tmp: Path) -> list[Path]:
    root = tmp / "tavro_sandboxes"
    return sorted(root.iterdir()) if root.exists() else []


# ------------------------------------------------------------------ end to end


def test_templated_tool_end_to_end(fake_rivo, bindir, tmp_path, isolated_tmp):
    tool(bindir, "aligner", """\
        cat "$2" > "$4"
        echo aligned
        echo "note" >&2
        """)
    reads = tmp_path / "a.fq"
    reads.write_text("ACGT\n")
    out = tmp_path / "node"
    manifest = {"args_template": "aligner -i {reads} -o {out} > {log}", "outputs": {"out": {}, "log": {}}}
    result = RIVO().run("aligner", manifest, {"reads": str(reads)}, str(out))

    assert result == {"out": f"{out}/out", "log": f"{out}/log"}
    assert (out / "out").read_text() == "ACGT\n"
    assert (out / "log").read_text() == "aligned\n"
    assert not (out / "_extras").exists()
    (call,) = fake_rivo.calls
    assert call["argv"] == ["exec", "aligner", "-i", "a.fq", "-o", "out"]
    sandbox = Path(call["cwd"])
    assert sandbox.parent == isolated_tmp / "tavro_sandboxes"
    assert sandbox.name.startswith("run-aligner-") and len(sandbox.name) == len("run-aligner-") + 12
    int(sandbox.name[-12:], 16)
    assert not sandbox.exists()  # removed after success
    assert call["env"]["RIVO_REGISTRY"]


def test_sandbox_is_world_writable_and_kept_after_failure(isolated_tmp, tmp_path):
    class Failing(Recorder):
        def _run(self, cmd, **kw):
            self.mode = stat.S_IMODE(os.stat(kw["cwd"]).st_mode)
            raise RuntimeError("rivo exec failed (exit 2)")

    r = Failing()
    with pytest.raises(RuntimeError):
        r.run("t", {"args_template": "-x"}, {}, str(tmp_path / "o"))
    assert r.mode == 0o777
    (kept,) = sandboxes(isolated_tmp)
    assert kept.name.startswith("run-t-")


def test_each_call_gets_its_own_sandbox_and_env(isolated_tmp, tmp_path, monkeypatch):
    monkeypatch.setenv("MARKER", "1")
    r = Recorder()
    r.run("t", {}, {}, str(tmp_path / "o1"))
    r.run("t", {}, {}, str(tmp_path / "o2"))
    (c1, k1), (c2, k2) = r.calls
    assert c1 == c2 == ["exec", "t"]
    assert k1["cwd"] != k2["cwd"]
    assert set(k1) == {"cwd", "env"} and k1["env"]["MARKER"] == "1"
    assert k1["env"] is not os.environ and k1["env"] is not k2["env"]
    assert sandboxes(isolated_tmp) == []


def test_project_files_and_shims_from_the_pipeline_volume(tmp_path, isolated_tmp, monkeypatch):
    vol = tmp_path / "vol"
    home = vol / ".rivo_home"
    (home / ".rivo" / "bin").mkdir(parents=True)
    (home / "rivo.toml").write_text("[tools]\n")
    (home / "rivo.lock").write_text("[tools.bwa]\n")
    os.utime(home / "rivo.toml", (1_000_000, 1_000_000))
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(vol))
    seen = {}

    class Look(Recorder):
        def _run(self, cmd, **kw):
            sb = Path(kw["cwd"])
            seen["toml"] = (sb / "rivo.toml").read_text(), (sb / "rivo.toml").stat().st_mtime
            seen["lock"] = (sb / "rivo.lock").read_text()
            seen["link"] = os.readlink(sb / ".rivo")
            (sb / "made").write_text("x")
            return subprocess.CompletedProcess(cmd, 0, "", "")

    out = tmp_path / "o"
    assert Look().run("t", {"outputs": {"made": {}}}, {}, str(out)) == {"made": str(out / "made")}
    assert seen == {"toml": ("[tools]\n", 1_000_000), "lock": "[tools.bwa]\n", "link": str(home / ".rivo")}
    assert sorted(os.listdir(out)) == ["made"]  # project files never harvested


def test_without_volume_a_temporary_project_dir_lives_for_the_run(isolated_tmp, tmp_path, monkeypatch):
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    seen = []

    class Peek(Recorder):
        def _run(self, cmd, **kw):
            seen.append([p.name for p in isolated_tmp.iterdir() if p.name.startswith("rivo_")])
            return super()._run(cmd, **kw)

    Peek().run("t", {}, {}, str(tmp_path / "o"))
    with pytest.raises(RuntimeError):
        Peek(RuntimeError("boom")).run("t", {"args_template": "x"}, {}, str(tmp_path / "o"))
    assert [len(s) for s in seen] == [1, 1] and seen[0] != seen[1]
    assert [p for p in isolated_tmp.iterdir() if p.name.startswith("rivo_")] == []


# ------------------------------------------------------------------- staging


def test_staging_name_clashes(tmp_path, isolated_tmp):
    dirs = []
    for i in range(3):
        d = tmp_path / f"d{i}"
        d.mkdir()
        (d / "a.fq").write_text(f"from d{i}")
        dirs.append(d)
    seen = {}

    class Look(Recorder):
        def _run(self, cmd, **kw):
            sb = Path(kw["cwd"])
            seen.update({p.name: p.read_text() for p in sb.iterdir() if p.is_file()})
            return super()._run(cmd, **kw)

    r = Look()
    inputs = {
        "reads": str(dirs[0] / "a.fq"),
        "ref": str(dirs[0] / "a.fq"),
        "more": [str(dirs[1] / "a.fq"), str(dirs[2] / "a.fq")],
    }
    r.run("t", {}, inputs, str(tmp_path / "o"))
    assert seen == {"a.fq": "from d0", "ref_a.fq": "from d0", "more_a.fq": "from d1", "more_2_a.fq": "from d2"}
    # Positional arguments: every input a file of its own, in input order.
    assert r.calls[0][0] == ["exec", "t", "a.fq", "ref_a.fq", "more_a.fq", "more_2_a.fq"]


def test_a_gather_of_same_named_files_gives_the_tool_each_of_them(fake_rivo, tmp_path, isolated_tmp):
    # Upstream nodes name their outputs after the slot: a gather receives
    # files that all share one name.
    bams = []
    for i, text in enumerate("ABCD"):
        f = tmp_path / f"node{i}" / "alignment"
        f.parent.mkdir()
        f.write_text(text + "\n")
        bams.append(str(f))
    out = tmp_path / "o"
    res = RIVO().run("cat", {"args_template": "{bams} > {out}", "outputs": {"out": {}}}, {"bams": bams}, str(out))
    assert Path(res["out"]).read_text() == "A\nB\nC\nD\n"
    assert fake_rivo.calls[0]["argv"] == ["exec", "cat", "alignment", "bams_alignment", "bams_2_alignment",
                                          "bams_3_alignment"]


def test_staging_lists_scalars_and_directories(tmp_path, isolated_tmp):
    src = tmp_path / "db"
    (src / "sub").mkdir(parents=True)
    (src / "sub" / "x.idx").write_text("idx")
    os.chmod(src / "sub" / "x.idx", 0o640)
    os.utime(src / "sub" / "x.idx", (1_234_567, 1_234_567))
    f = tmp_path / "r.fq"
    f.write_text("r")
    seen = {}

    class Look(Recorder):
        def _run(self, cmd, **kw):
            sb = Path(kw["cwd"])
            st = (sb / "db" / "sub" / "x.idx").stat()
            seen["idx"] = (sb / "db" / "sub" / "x.idx").read_text(), stat.S_IMODE(st.st_mode), st.st_mtime
            seen["names"] = sorted(os.listdir(sb))
            return super()._run(cmd, **kw)

    r = Look()
    inputs = {
        "db": str(src),
        "reads": [str(tmp_path / "missing.fq"), 7, str(f), Path(f)],
        "none": [str(tmp_path / "missing"), 3],
        "output_dir": str(f),
        "path_obj": Path(f),
    }
    r.run("t", {"args_template": "{db} {reads} {none} {output_dir} {path_obj}"}, inputs, str(tmp_path / "o"))
    assert seen["idx"] == ("idx", 0o640, 1_234_567)
    assert seen["names"] == ["db", "r.fq"]
    assert r.calls[0][0] == ["exec", "t", "db", "r.fq"]


def test_staged_inputs_are_copies_not_links(fake_rivo, bindir, tmp_path, isolated_tmp):
    tool(bindir, "mutate", 'echo changed >> "$1"\n')
    f = tmp_path / "in.txt"
    f.write_text("original\n")
    RIVO().run("mutate", {"args_template": "{x}"}, {"x": str(f)}, str(tmp_path / "o"))
    assert f.read_text() == "original\n"
    assert f.stat().st_nlink == 1


# -------------------------------------------------------------------- template


@pytest.mark.parametrize(
    "template, inputs, outputs, expected",
    [
        ("tool -i {reads} -o {out} > {log}", {}, ["out", "log"], ["-i", "a.fq", "-o", "out"]),
        ("-x {missing} --flag {n}", {"n": 5}, [], ["--flag", "5"]),
        ("-a --opt={missing} -b", {}, [], ["-a", "-b"]),
        ("run 2> err.txt < in.txt -q >> {log}", {}, ["log"], ["run", "-q"]),
        ("--on {b} --off {c} --p {p}", {"b": True, "c": False, "p": 0.5}, [], ["--on", "True", "--off", "False", "--p", "0.5"]),
        ("'a b' \"{s}\" x\\ y", {"s": "v w"}, [], ["a b", "v w", "x y"]),
        ("{reads} {reads}x {}", {}, [], ["a.fq", "a.fqx", "{}"]),
        ("--out {reads}", {}, ["reads"], ["--out", "reads"]),  # output slot wins
        # Nothing left after the filter: the staged names are the arguments.
        ("-o {x}", {"x": None}, [], ["a.fq"]),  # other value types are not substituted
        ("-d {x}", {"x": {"k": 1}}, [], ["a.fq"]),
        ("-q {output_dir}", {"output_dir": "/o"}, [], ["a.fq"]),
        ("a > notaslot b", {}, ["out"], ["a", "b"]),
        ("a >", {}, [], ["a"]),
        ("tool", {}, [], []),  # the entrypoint goes after the fallback was decided
    ],
)
def test_template_rules(tmp_path, isolated_tmp, template, inputs, outputs, expected):
    f = tmp_path / "a.fq"
    f.write_text("A")
    r = Recorder()
    manifest = {"args_template": template, "outputs": {o: {} for o in outputs}}
    r.run("tool", manifest, {"reads": str(f), **inputs}, str(tmp_path / "o"))
    assert r.calls[0][0] == ["exec", "tool", *expected]


@pytest.mark.parametrize(
    "entrypoint, template, expected",
    [
        ("/usr/bin/samtools", "/usr/bin/samtools view -b", ["exec", "/usr/bin/samtools", "view", "-b"]),
        ("/usr/bin/samtools", "samtools view", ["exec", "/usr/bin/samtools", "view"]),
        ("samtools", "view samtools", ["exec", "samtools", "view", "samtools"]),
        (None, "t view", ["exec", "t", "view"]),
        ("", "t view", ["exec", "t", "view"]),
    ],
)
def test_entrypoint_rules(tmp_path, isolated_tmp, entrypoint, template, expected):
    r = Recorder()
    r.run("t", {"entrypoint": entrypoint, "args_template": template}, {}, str(tmp_path / "o"))
    assert r.calls[0][0] == expected


def test_positional_fallback_in_input_order(tmp_path, isolated_tmp):
    (tmp_path / "b.fq").write_text("b")
    (tmp_path / "a.fq").write_text("a")
    r = Recorder()
    r.run("t", {"args_template": None}, {"second": str(tmp_path / "b.fq"), "first": str(tmp_path / "a.fq")},
          str(tmp_path / "o"))
    assert r.calls[0][0] == ["exec", "t", "b.fq", "a.fq"]


def test_run_logs_the_command(tmp_path, isolated_tmp, caplog):
    caplog.set_level("DEBUG", logger="tavro.helpers.rivo")
    Recorder().run("t", {"args_template": "-v"}, {}, str(tmp_path / "o"))
    msgs = [(r.levelname, r.msg, r.args) for r in caplog.records]
    assert ("INFO", "Running rivo exec %s %s", ("t", ["-v"])) in msgs
    assert msgs[-1][:2] == ("DEBUG", "Cleaned up sandbox: %s")


# ------------------------------------------------------------ argument checks


class Str(str):
    pass


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, {}, {}, "o"), "Argument 'tool_name' has incorrect type (expected str, got int)"),
        (("t", [], {}, "o"), "Argument 'manifest' has incorrect type (expected dict, got list)"),
        (("t", {}, None, "o"), "Argument 'inputs' has incorrect type (expected dict, got NoneType)"),
        (("t", {}, {}, Path("o")), "Argument 'output_dir' has incorrect type (expected str, got PosixPath)"),
        ((Str("t"), {}, {}, "o"), "Argument 'tool_name' has incorrect type (expected str, got Str)"),
    ],
)
def test_wrong_types_create_nothing(isolated_tmp, args, message):
    r = Recorder()
    with pytest.raises(TypeError) as info:
        r.run(*args)
    assert str(info.value) == message
    assert list(isolated_tmp.iterdir()) == [] and r.calls == []


@pytest.mark.parametrize("bad", ["", ".", "..", "a/b", "../x", "a\0b", "/"])
@pytest.mark.parametrize("where", ["tool", "slot"])
def test_names_that_are_not_one_component_are_refused(isolated_tmp, tmp_path, monkeypatch, bad, where):
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    r = Recorder()
    f = tmp_path / "in.txt"
    f.write_text("x")
    tool_name, manifest = ("t", {"outputs": {"ok": {}, bad: {"type": "dir"}}}) if where == "slot" else (bad, {})
    with pytest.raises(ValueError) as info:
        r.run(tool_name, manifest, {"x": str(f)}, str(tmp_path / "o"))
    assert repr(bad) in str(info.value)
    assert ("output slot name" if where == "slot" else "tool name") in str(info.value)
    assert list(isolated_tmp.iterdir()) == [] and r.calls == []
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize("name", ["rivo.toml", "rivo.lock", ".rivo", "_extras"])
@pytest.mark.parametrize("kind", ["file", "dir"])
def test_reserved_slot_names_are_refused(isolated_tmp, tmp_path, name, kind):
    r = Recorder()
    with pytest.raises(ValueError, match=rf"Invalid output slot name '{re.escape(name)}': the name is reserved"):
        r.run("t", {"outputs": {name: {"type": kind}}}, {}, str(tmp_path / "o"))
    assert list(isolated_tmp.iterdir()) == [] and r.calls == []


@pytest.mark.parametrize(
    "outputs, message",
    [
        (None, "The manifest's 'outputs' must be a dict, not NoneType"),
        (["out"], "The manifest's 'outputs' must be a dict, not list"),
        ({"out": None}, "The manifest's 'outputs' entry 'out' must be a dict, not NoneType"),
        ({"out": "file"}, "The manifest's 'outputs' entry 'out' must be a dict, not str"),
    ],
)
def test_outputs_of_the_wrong_type_are_refused(isolated_tmp, tmp_path, outputs, message):
    r = Recorder()
    with pytest.raises(TypeError) as info:
        r.run("t", {"outputs": outputs}, {}, str(tmp_path / "o"))
    assert str(info.value) == message
    assert list(isolated_tmp.iterdir()) == [] and r.calls == []


def test_ordinary_names_are_used_unchanged(isolated_tmp, tmp_path):
    r = Recorder("text")
    out = tmp_path / "o"
    res = r.run("my tool:v1.2", {"outputs": {"weird name.v2": {}}}, {}, str(out))
    assert Path(r.calls[0][1]["cwd"]).name.startswith("run-my tool:v1.2-")
    assert res == {"weird name.v2": None, "stdout": str(out / "stdout" / "my tool:v1.2_stdout.txt")}


# --------------------------------------------------------- exact stdout bytes


def test_redirected_stdout_is_byte_exact(fake_rivo, tmp_path, isolated_tmp):
    payload = b"@r1\nACGT\n+\nIIII\n" * 1000
    reads = tmp_path / "r.fq"
    reads.write_bytes(payload)
    out = tmp_path / "o"
    res = RIVO().run("gzip", {"args_template": "gzip -c {reads} > {gz}", "outputs": {"gz": {}}},
                     {"reads": str(reads)}, str(out))
    assert res == {"gz": str(out / "gz")}
    assert gzip.decompress((out / "gz").read_bytes()) == payload


@pytest.mark.parametrize("template", ["> {log}", ""])
def test_crlf_and_invalid_utf8_stay_as_written(fake_rivo, bindir, tmp_path, isolated_tmp, template):
    tool(bindir, "emit", "printf 'a\\r\\nb\\377\\376\\n\\r'\n")
    out = tmp_path / "o"
    outputs = {"log": {}} if template else {}
    res = RIVO().run("emit", {"args_template": template, "outputs": outputs}, {}, str(out))
    target = out / "log" if template else out / "stdout" / "emit_stdout.txt"
    assert target.read_bytes() == b"a\r\nb\xff\xfe\n\r"
    assert res[("log" if template else "stdout")] == str(target)


@pytest.mark.parametrize("make", ['ln -s "{victim}" log', "mkfifo log"])
def test_capture_replaces_links_and_fifos_the_tool_left(fake_rivo, bindir, tmp_path, isolated_tmp, make):
    victim = tmp_path / "victim.txt"
    victim.write_text("keep me")
    tool(bindir, "sneaky", make.format(victim=victim) + "\necho output\n")
    out = tmp_path / "o"
    RIVO().run("sneaky", {"args_template": "> {log}", "outputs": {"log": {}}}, {}, str(out))
    assert victim.read_text() == "keep me"
    assert (out / "log").read_text() == "output\n"


def test_subclass_text_output_is_captured(isolated_tmp, tmp_path):
    out = tmp_path / "o"
    r = Recorder("r\u00e9sum\u00e9\n")
    assert r.run("t", {"args_template": "> {log}", "outputs": {"log": {}}}, {}, str(out)) == {"log": str(out / "log")}
    assert (out / "log").read_bytes() == "r\u00e9sum\u00e9\n".encode()


# ------------------------------------------------------------------- threads


def test_concurrent_runs_on_distinct_nodes(fake_rivo, bindir, tmp_path, isolated_tmp):
    stamps = tmp_path / "stamps"
    stamps.mkdir()
    tool(bindir, "slow", f"""\
        date +%s.%N > "{stamps}/$2.start"
        sleep 0.3
        cat "$1" > result
        date +%s.%N > "{stamps}/$2.end"
        """)
    n = 4
    results, errors = {}, []

    def node(i):
        try:
            f = tmp_path / f"in{i}" / "reads.txt"
            f.parent.mkdir()
            f.write_text(f"node {i}\n")
            manifest = {"args_template": "{reads} {i}", "outputs": {"result": {}}}
            results[i] = RIVO().run("slow", manifest, {"reads": str(f), "i": i}, str(tmp_path / f"out{i}"))
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=node, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for i in range(n):
        assert Path(results[i]["result"]).read_text() == f"node {i}\n"
    assert len({c["cwd"] for c in fake_rivo.calls}) == n
    assert sandboxes(isolated_tmp) == []
    starts = [float((stamps / f"{i}.start").read_text()) for i in range(n)]
    ends = [float((stamps / f"{i}.end").read_text()) for i in range(n)]
    assert max(starts) < min(ends)  # all tools were running at the same time


def test_python_threads_run_while_the_tool_runs(fake_rivo, bindir, tmp_path, isolated_tmp):
    tool(bindir, "nap", "sleep 0.5\n")
    ticks = []
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    th = threading.Thread(target=counter)
    th.start()
    try:
        t0 = time.monotonic()
        RIVO().run("nap", {}, {}, str(tmp_path / "o"))
        t1 = time.monotonic()
    finally:
        stop.set()
        th.join()
    during = [t for t in ticks if t0 < t < t1]
    assert t1 - t0 >= 0.5 and len(during) >= 20


def test_unusual_input_paths(tmp_path, isolated_tmp, monkeypatch):
    here = tmp_path / "cwd_dir"
    here.mkdir()
    (here / "f").write_text("x")
    monkeypatch.chdir(here)
    r = Recorder()
    r.run("t", {}, {"a": ".", "b": str(here) + "/"}, str(tmp_path / "o"))
    # "." is staged under the name of the directory it stands for.
    assert r.calls[0][0] == ["exec", "t", "cwd_dir", "b_cwd_dir"]
    with pytest.raises(ValueError, match="root directory"):
        Recorder().run("t", {}, {"a": "/"}, str(tmp_path / "o"))


def test_clashing_input_with_a_path_like_slot_name(tmp_path, isolated_tmp):
    f = tmp_path / "a.fq"
    f.write_text("x")
    with pytest.raises(ValueError, match=r"input slot name '\.\./up'"):
        Recorder().run("t", {}, {"r": str(f), "../up": str(f)}, str(tmp_path / "o"))
    assert not (isolated_tmp / "tavro_sandboxes" / "up_a.fq").exists()


class Spec(dict):
    """A slot record whose "type" cannot be read."""

    def get(self, key, default=None):
        raise LookupError(f"no {key} here")


@pytest.mark.parametrize("call", ["parse_show", "run"])
def test_a_failing_python_object_raises_its_own_error_every_time(isolated_tmp, tmp_path, call):
    # A failed attribute look-up must never leave its error set while the
    # next call into Python is made: the error that reaches the caller is
    # the real one, every time.
    class NoOutput(RIVO):
        def show(self, tool, fmt=None):
            return None

    for _ in range(50):
        if call == "parse_show":
            with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'stdout'"):
                NoOutput().parse_show("t")
        else:
            with pytest.raises(LookupError, match="no type here"):
                Recorder().run("t", {"outputs": {"out": Spec()}}, {}, str(tmp_path / "o"))
    assert list(isolated_tmp.iterdir()) == []
