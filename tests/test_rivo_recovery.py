"""Recovery after a failed tool run: LLM argument inference, relocation of
stale absolute paths, and the rules by which RIVO.run applies them."""

from __future__ import annotations

import json
import subprocess
import textwrap
from pathlib import Path

import pytest
from conftest import FakeDocker

from tavro.helpers import rivo
from tavro.helpers.rivo import RIVO


class FakeLLM:
    def __init__(self, reply):
        self.reply = reply
        self.prompts = []

    def call(self, user_prompt, system_prompt=None):
        assert system_prompt is None
        self.prompts.append(user_prompt)
        if isinstance(self.reply, BaseException):
            raise self.reply
        return self.reply


@pytest.fixture
def llm(monkeypatch):
    """Installs a fake default LLM; each inference builds a new client."""
    state = {"reply": "", "made": []}

    def factory():
        client = FakeLLM(state["reply"])
        state["made"].append(client)
        return client

    monkeypatch.setattr(rivo, "_default_llm", factory)
    return state


# ---------------------------------------------------------------- _infer_args

MANIFEST = {
    "description": "Aligns reads",
    "entrypoint": "bwa",
    "inputs": {"reads": {"type": "fastq", "description": "raw reads"}, "n": {"type": 3}},
    "outputs": {"sam": {"type": "sam", "description": "alignments"}},
}


def test_prompt_text_exactly(llm):
    llm["reply"] = "`mem -t 2 ref.fa a.fq b.fq`"
    staged = {"reads": [Path("/s/a.fq"), Path("/s/b.fq")], "ref": Path("/s/ref.fa")}
    assert RIVO()._infer_args("bwa-tool", MANIFEST, staged) == ["mem", "-t", "2", "ref.fa", "a.fq", "b.fq"]
    (client,) = llm["made"]
    assert client.prompts == [
        "Tool: bwa-tool\nDescription: Aligns reads\nBinary: bwa\n\n"
        "Manifest inputs:\n  - reads: fastq \u2014 raw reads\n  - n: 3 \u2014 \n\n"
        "Manifest outputs:\n  - sam: sam \u2014 alignments\n\n"
        "Staged files available in /workspace (key \u2192 filename):\n  - reads: a.fq b.fq\n  - ref: ref.fa\n\n"
        "Write the correct command-line arguments to pass to 'bwa'. Include any required subcommand. "
        "Do NOT include the binary name itself. Use the staged filenames exactly as shown. "
        "Return ONLY the shell-quoted argument string, no explanation, no markdown."
    ]


def test_prompt_with_empty_manifest(llm):
    RIVO()._infer_args("t", {}, {})
    (prompt,) = llm["made"][0].prompts
    assert prompt.startswith("Tool: t\nDescription: \nBinary: t\n\nManifest inputs:\n\n\nManifest outputs:\n\n\n"
                             "Staged files available in /workspace (key \u2192 filename):\n\n\n")
    assert "to pass to 't'." in prompt


@pytest.mark.parametrize(
    "reply, expected",
    [
        ("  `-i a.fq -o out`  \n", ["-i", "a.fq", "-o", "out"]),
        ("```bash\n-i 'a b.fq'\n```", ["bash", "-i", "a b.fq"]),
        ("-x \"q r\" s\\ t", ["-x", "q r", "s t"]),
        ("", []),
    ],
)
def test_reply_clean_up(llm, logs, reply, expected):
    llm["reply"] = reply
    assert RIVO()._infer_args("t", {}, {}) == expected
    assert logs() == [("INFO", "LLM inferred args for %s: %s", ("t", expected))]


@pytest.mark.parametrize(
    "reply, error",
    [
        ("-i 'a.fq", "No closing quotation"),
        (RuntimeError("quota"), "quota"),
        (None, "'NoneType' object has no attribute 'strip'"),
    ],
)
def test_inference_failure_falls_back_to_positional(llm, logs, reply, error):
    llm["reply"] = reply
    staged = {"reads": [Path("/s/a.fq"), "/s/b.fq"], "ref": Path("/s/ref.fa")}
    assert RIVO()._infer_args("t", {}, staged) == ["a.fq", "b.fq", "ref.fa"]
    assert logs("WARNING") == [
        ("WARNING", "LLM arg inference failed for %s: %s \u2014 falling back to positional", ("t", error))]


def test_client_factory_failure_falls_back(monkeypatch):
    def broken():
        raise KeyError("no key")

    monkeypatch.setattr(rivo, "_default_llm", broken)
    assert RIVO()._infer_args("t", {}, {"x": Path("/a/b")}) == ["b"]


def test_new_client_per_inference(llm):
    r = RIVO()
    r._infer_args("t", {}, {})
    r._infer_args("t", {}, {})
    assert len(llm["made"]) == 2


def test_infer_args_errors_outside_the_guard(llm):
    with pytest.raises(AttributeError):
        RIVO()._infer_args("t", {"inputs": ["reads"]}, {})
    with pytest.raises(TypeError, match=r"Argument 'staged' has incorrect type \(expected dict, got list\)"):
        RIVO()._infer_args("t", {}, [])
    assert llm["made"] == []


def test_keyboard_interrupt_is_not_swallowed(llm):
    llm["reply"] = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        RIVO()._infer_args("t", {}, {})


# ------------------------------------------------------- _fix_stale_abs_paths

@pytest.fixture
def docker(bindir, tmp_path):
    """A fake real Docker, `docker.real`, first on PATH."""
    return FakeDocker(bindir / "docker.real", tmp_path)


def env_with(hits):
    return {"PATH": "/usr/bin:/bin", "MARKER": "m", "FAKE_HITS": json.dumps(hits)}


def test_relocation_argv_and_first_hit(docker, logs):
    hits = {"ref.fa": "\n  /opt/db/ref.fa  \n/other/ref.fa\n"}
    args = ["-r", "/data/ref.fa", "/workspace/a.fq", "rel/b.fq", "/data/ref.fa"]
    fixed = RIVO()._fix_stale_abs_paths(args, {"image": "img:1"}, env_with(hits))
    assert fixed == ["-r", "/opt/db/ref.fa", "/workspace/a.fq", "rel/b.fq", "/opt/db/ref.fa"]
    assert args[1] == "/data/ref.fa"  # a new list
    calls = docker.records
    assert len(calls) == 2  # once per occurrence
    assert calls[0]["argv"] == [docker.path, "run", "--rm", "--network=host", "--entrypoint", "", "img:1",
                                "find", "/", "-name", "ref.fa", "-maxdepth", "8", "-type", "f"]
    assert calls[0]["env"]["MARKER"] == "m"
    assert logs("INFO")[0] == ("INFO", "Relocated %s \u2192 %s in container",
                                          ("/data/ref.fa", "/opt/db/ref.fa"))


def test_recovery_finds_the_real_docker_where_the_host_put_it(bindir, tmp_path, isolated_tmp, monkeypatch):
    # A host with its real Docker at a place of its own (the module attribute
    # the wrapper installation uses too) and a wrapper as `docker` on PATH.
    real = tmp_path / "opt" / "docker.real"
    real.parent.mkdir()
    fake = FakeDocker(real, tmp_path)
    (bindir / "docker").write_text("#!/bin/sh\necho wrapper used >&2\nexit 99\n")
    (bindir / "docker").chmod(0o755)
    monkeypatch.setattr(rivo, "_DOCKER_REAL", str(real))
    monkeypatch.setenv("FAKE_HITS", json.dumps({"ref.fa": "/opt/db/ref.fa\n"}))

    class Once(RIVO):
        calls = []

        def _run(self, cmd, **kw):
            self.calls.append(cmd)
            if len(self.calls) == 1:
                raise NO_FILE
            return subprocess.CompletedProcess(cmd, 0, "", "")

    r = Once()
    r.run("t", {"args_template": "-r /data/ref.fa", "image": "img:1"}, {}, str(tmp_path / "o"))
    assert r.calls[1] == ["exec", "t", "-r", "/opt/db/ref.fa"]
    assert [c["argv"][0] for c in fake.records] == [str(real)]


@pytest.mark.parametrize(
    "args, manifest, hits, expect_calls",
    [
        (["/workspace/a.fq", "rel/b.fq", "-x"], {"image": "i"}, {}, 0),
        (["/data/a.fq"], {}, {"a.fq": "/x/a.fq"}, 0),
        (["/data/a.fq"], {"image": ""}, {"a.fq": "/x/a.fq"}, 0),
        (["/data/a.fq"], {"image": "i"}, {}, 1),  # searched, nothing found
        (["/data/a.fq"], {"image": "i"}, {"a.fq": " \n\n"}, 1),
    ],
)
def test_relocation_none(docker, args, manifest, hits, expect_calls):
    assert RIVO()._fix_stale_abs_paths(args, manifest, env_with(hits)) is None
    assert len(docker.records) == expect_calls


def test_search_failure_is_logged_and_skipped(docker, logs):
    env = {"BAD=NAME": "x"}
    assert RIVO()._fix_stale_abs_paths(["/data/a.fq"], {"image": "i"}, env) is None
    assert ("DEBUG", "find failed for %s: %s", ("a.fq", "illegal environment variable name")) in logs()


def test_missing_docker_is_a_search_failure(bindir, tmp_path, monkeypatch, logs):
    if Path("/usr/bin/docker.real").exists():
        pytest.skip("a real docker.real is installed")
    monkeypatch.setenv("PATH", str(bindir))  # neither docker.real nor docker
    env = {"PATH": str(bindir)}  # the bare name is looked up here: never a real docker
    assert RIVO()._fix_stale_abs_paths(["/d/a.fq"], {"image": "i"}, env) is None
    (rec,) = [r for r in logs() if r[1].startswith("find failed")]
    assert rec[2][0] == "a.fq" and "No such file or directory: 'docker'" in rec[2][1]


def test_relocation_argument_types():
    with pytest.raises(TypeError, match=r"Argument 'args' has incorrect type \(expected list, got tuple\)"):
        RIVO()._fix_stale_abs_paths(("/a",), {}, {})
    with pytest.raises(TypeError, match=r"Argument 'env' has incorrect type \(expected dict, got NoneType\)"):
        RIVO()._fix_stale_abs_paths(["/a"], {}, None)


# ------------------------------------------------------- recovery inside run

NO_FILE = RuntimeError("rivo exec t failed (exit 1):\nSTDOUT: \nSTDERR: /data/ref.fa: No such file or directory")
USAGE = RuntimeError("rivo exec t failed (exit 2):\nSTDOUT: \nSTDERR: usage: t [-i IN]")


class Scripted(RIVO):
    """_run pops scripted outcomes; the recovery helpers are replaceable."""

    def __init__(self, outcomes, fixed=None, inferred=None):
        super().__init__()
        self.outcomes = list(outcomes)
        self.calls = []
        self.fixed = fixed
        self.inferred = inferred
        self.fix_calls = []
        self.infer_calls = []

    def _run(self, cmd, **kw):
        self.calls.append(list(cmd))
        self.env = kw["env"]
        r = self.outcomes.pop(0)
        if isinstance(r, BaseException):
            raise r
        return subprocess.CompletedProcess(cmd, 0, r, "")

    def _fix_stale_abs_paths(self, args, manifest, env):
        self.fix_calls.append((list(args), manifest, env))
        return self.fixed

    def _infer_args(self, tool_name, manifest, staged):
        self.infer_calls.append((tool_name, manifest, dict(staged)))
        return self.inferred


@pytest.fixture
def reads(tmp_path):
    f = tmp_path / "a.fq"
    f.write_text("A")
    return f


def test_stale_path_relocated_and_retried(isolated_tmp, tmp_path, logs):
    m = {"args_template": "-r /data/ref.fa -o {out}", "outputs": {"out": {}}}
    r = Scripted([NO_FILE, "done"], fixed=["-r", "/opt/ref.fa", "-o", "out"])
    res = r.run("t", m, {}, str(tmp_path / "o"))
    assert r.calls == [["exec", "t", "-r", "/data/ref.fa", "-o", "out"], ["exec", "t", "-r", "/opt/ref.fa", "-o", "out"]]
    assert r.fix_calls == [(["-r", "/data/ref.fa", "-o", "out"], m, r.env)]
    assert r.infer_calls == []
    assert ("INFO", "Retrying with relocated paths: %s", (["-r", "/opt/ref.fa", "-o", "out"],)) in logs()
    assert res["out"] is None and Path(res["stdout"]).read_text() == "done"  # the retry's output


@pytest.mark.parametrize("fixed", [None, ["-r", "/data/ref.fa"]])
def test_stale_path_without_relocation_reraises_first(isolated_tmp, tmp_path, fixed):
    r = Scripted([NO_FILE], fixed=fixed, inferred=["x"])
    with pytest.raises(RuntimeError) as info:
        r.run("t", {"args_template": "-r /data/ref.fa"}, {}, str(tmp_path / "o"))
    assert info.value is NO_FILE
    assert len(r.calls) == 1 and r.infer_calls == []


def test_failed_relocated_retry_raises_first_error(isolated_tmp, tmp_path):
    first = RuntimeError("No such file or directory: /data/x")
    second = RuntimeError("still broken")
    r = Scripted([first, second], fixed=["/opt/x"])
    with pytest.raises(RuntimeError) as info:
        r.run("t", {"args_template": "/data/x"}, {}, str(tmp_path / "o"))
    assert info.value is first
    assert first.__context__ is second and first.__suppress_context__ and first.__cause__ is None
    (kept,) = (isolated_tmp / "tavro_sandboxes").iterdir()  # kept for inspection


def test_relative_and_workspace_paths_are_not_stale(isolated_tmp, tmp_path, reads):
    r = Scripted([NO_FILE], fixed=["never"])
    with pytest.raises(RuntimeError) as info:
        r.run("t", {"args_template": "{x} /workspace/y rel/z"}, {"x": str(reads)}, str(tmp_path / "o"))
    assert info.value is NO_FILE and r.fix_calls == [] and r.infer_calls == []


def test_templated_tool_is_never_reargued(isolated_tmp, tmp_path, reads):
    timeout = RuntimeError("rivo exec t -i a.fq timed out after 3600s \u2014 image pull may have stalled")
    r = Scripted([timeout], inferred=["-x"])
    with pytest.raises(RuntimeError) as info:
        r.run("t", {"args_template": "-i {x}"}, {"x": str(reads)}, str(tmp_path / "o"))
    assert info.value is timeout and r.infer_calls == [] and len(r.calls) == 1


def test_untemplated_tool_asks_llm_once(isolated_tmp, tmp_path, reads, logs):
    r = Scripted([USAGE, "ok"], inferred=["-i", "a.fq"])
    r.run("t", {"entrypoint": "tool"}, {"x": str(reads)}, str(tmp_path / "o"))
    assert r.calls == [["exec", "tool", "a.fq"], ["exec", "tool", "-i", "a.fq"]]
    ((name, manifest, staged),) = r.infer_calls
    assert name == "t" and list(staged) == ["x"] and isinstance(staged["x"], Path) and staged["x"].name == "a.fq"
    assert logs("INFO")[1:] == [
        ("INFO", "Positional fallback failed for %s \u2014 asking LLM for correct args", ("t",)),
        ("INFO", "Retrying rivo exec %s %s (LLM-inferred)", ("tool", ["-i", "a.fq"])),
    ]


def test_llm_returning_same_args_reraises_first(isolated_tmp, tmp_path, reads):
    r = Scripted([USAGE], inferred=["a.fq"])
    with pytest.raises(RuntimeError) as info:
        r.run("t", {}, {"x": str(reads)}, str(tmp_path / "o"))
    assert info.value is USAGE and len(r.calls) == 1


def test_llm_retry_failure_propagates_with_first_as_context(isolated_tmp, tmp_path):
    first, last = RuntimeError("usage"), RuntimeError("second failure")
    r = Scripted([first, last], inferred=["-h"])
    with pytest.raises(RuntimeError) as info:
        r.run("t", {}, {}, str(tmp_path / "o"))
    assert info.value is last and last.__context__ is first


def test_no_file_error_without_template_goes_to_llm(isolated_tmp, tmp_path, reads):
    r = Scripted([NO_FILE, "ok"], inferred=["--in", "a.fq"])
    r.run("t", {}, {"x": str(reads)}, str(tmp_path / "o"))
    assert r.fix_calls == [] and r.calls[1] == ["exec", "t", "--in", "a.fq"]


def test_other_errors_are_not_recovered(isolated_tmp, tmp_path):
    err = FileNotFoundError(2, "No such file or directory", "rivo")
    r = Scripted([err], inferred=["x"])
    with pytest.raises(FileNotFoundError) as info:
        r.run("t", {}, {}, str(tmp_path / "o"))
    assert info.value is err and r.infer_calls == []


def test_failed_llm_inference_reraises_first(isolated_tmp, tmp_path, reads, monkeypatch, fake_rivo, bindir):
    """End to end with the real _infer_args: no client, positional list again."""
    def broken():
        raise RuntimeError("no API key")

    monkeypatch.setattr(rivo, "_default_llm", broken)
    (bindir / "picky").write_text("#!/bin/sh\necho 'usage: picky -i FILE' >&2\nexit 2\n")
    (bindir / "picky").chmod(0o755)
    with pytest.raises(RuntimeError, match=r"rivo exec picky a\.fq failed \(exit 2\):\nSTDOUT: \nSTDERR: usage: picky"):
        RIVO().run("picky", {}, {"x": str(reads)}, str(tmp_path / "o"))
    assert len(fake_rivo.calls) == 1


def test_llm_rewrites_arguments_end_to_end(llm, fake_rivo, bindir, tmp_path, reads):
    llm["reply"] = "```\n-i a.fq -o result.txt\n```"
    (bindir / "picky").write_text(textwrap.dedent("""\
        #!/bin/sh
        [ "$1" = -i ] || { echo "usage: picky -i IN -o OUT" >&2; exit 2; }
        cat "$2" > "$4"
        """))
    (bindir / "picky").chmod(0o755)
    out = tmp_path / "o"
    res = RIVO().run("picky", {"outputs": {"result": {}}}, {"x": str(reads)}, str(out))
    assert res == {"result": str(out / "result")}
    assert (out / "result").read_text() == "A"
    assert [c["argv"] for c in fake_rivo.calls] == [["exec", "picky", "a.fq"],
                                                    ["exec", "picky", "-i", "a.fq", "-o", "result.txt"]]
    assert "a.fq" in llm["made"][0].prompts[0]
