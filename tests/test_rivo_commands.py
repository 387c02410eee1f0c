"""Project commands (one rivo subcommand each) and the `rivo show` parser."""

from __future__ import annotations

import subprocess

import pytest

from tavro.helpers.rivo import RIVO


class Str(str):
    pass


# ------------------------------------------------------------ project commands


@pytest.mark.parametrize(
    "call, argv",
    [
        (lambda r: r.remove("bwa"), ["remove", "bwa"]),
        (lambda r: r.lock(), ["lock"]),
        (lambda r: r.lock(check=1), ["lock", "--check"]),
        (lambda r: r.lock(0), ["lock"]),
        (lambda r: r.lock(check="yes"), ["lock", "--check"]),
        (lambda r: r.exec("ls -la /workspace"), ["exec", "--", "bash", "-c", "ls -la /workspace"]),
        (lambda r: r.exec("ls", "-la", "/workspace"), ["exec", "ls", "-la", "/workspace"]),
        (lambda r: r.exec(command="true"), ["exec", "--", "bash", "-c", "true"]),
        (lambda r: r.shell(), ["shell"]),
        (lambda r: r.shell(""), ["shell"]),
        (lambda r: r.shell("zsh"), ["shell", "--shell", "zsh"]),
        (lambda r: r.search("fastq"), ["search", "fastq"]),
        (lambda r: r.search("fastq", tier="core"), ["search", "fastq", "--tier", "core"]),
        (lambda r: r.search("fastq", "bogus"), ["search", "fastq", "--tier", "bogus"]),
        (lambda r: r.show("bwa"), ["show", "bwa"]),
        (lambda r: r.show("bwa", ""), ["show", "bwa"]),
        (lambda r: r.show("bwa", fmt="json"), ["show", "bwa", "--format", "json"]),
        (lambda r: r.info("bwa"), ["info", "bwa"]),
        (lambda r: r.list_tools(), ["list"]),
        (lambda r: r.list_tools(binaries=True), ["list", "--binaries"]),
    ],
)
def test_command_argument_lists(fake_rivo, call, argv):
    fake_rivo.behave("print('out'); raise SystemExit(0)\n")
    r = RIVO("docker", "https://example.invalid/reg.git")  # never passed on
    call(r)
    assert [c["argv"] for c in fake_rivo.calls] == [argv]


@pytest.mark.parametrize(
    "name, args, returns",
    [
        ("remove", ("t",), False),
        ("lock", (), False),
        ("shell", (), False),
        ("exec", ("x",), True),
        ("search", ("q",), True),
        ("show", ("t",), True),
        ("info", ("t",), True),
        ("list_tools", (), True),
    ],
)
def test_runner_options_and_results(name, args, returns):
    calls = []

    class Rec(RIVO):
        def _run(self, cmd, **kw):
            calls.append((cmd, kw))
            return subprocess.CompletedProcess(["rivo", *cmd], 0, "text", "")

    result = getattr(Rec(), name)(*args)
    (cmd, kw), = calls
    captured = name in ("search", "show", "info", "list_tools")
    assert kw == ({"capture_output": True, "text": True} if captured else {})
    if returns:
        assert isinstance(result, subprocess.CompletedProcess) and result.stdout == "text"
    else:
        assert result is None


def test_commands_return_captured_text(fake_rivo):
    fake_rivo.behave("print('tool: bwa'); raise SystemExit(0)\n")
    proc = RIVO().info("bwa")
    assert proc.stdout == "tool: bwa\n" and proc.returncode == 0


def test_failure_surfaces_as_runner_error(fake_rivo):
    fake_rivo.behave("import sys; print('would change', file=sys.stderr); raise SystemExit(1)\n")
    with pytest.raises(RuntimeError, match=r"rivo lock --check failed \(exit 1\)"):
        RIVO().lock(check=True)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda r: r.remove(5), "Argument 'tool' has incorrect type (expected str, got int)"),
        (lambda r: r.show(None), "Argument 'tool' has incorrect type (expected str, got NoneType)"),
        (lambda r: r.info(Str("x")), "Argument 'tool' has incorrect type (expected str, got Str)"),
        (lambda r: r.search(b"q"), "Argument 'query' has incorrect type (expected str, got bytes)"),
        (lambda r: r.search("q", 1), "Argument 'tier' has incorrect type (expected str, got int)"),
        (lambda r: r.show("t", fmt=["json"]), "Argument 'fmt' has incorrect type (expected str, got list)"),
        (lambda r: r.shell(1), "Argument 'shell' has incorrect type (expected str, got int)"),
        (lambda r: r.exec(["ls"]), "Argument 'command' has incorrect type (expected str, got list)"),
        (lambda r: r.parse_show_text(None), "Argument 'text' has incorrect type (expected str, got NoneType)"),
        (lambda r: r.parse_show(3), "Argument 'tool' has incorrect type (expected str, got int)"),
    ],
)
def test_wrong_argument_types_run_nothing(fake_rivo, call, message):
    with pytest.raises(TypeError) as info:
        call(RIVO())
    assert str(info.value) == message
    assert fake_rivo.calls == []


def test_docstrings():
    assert RIVO.remove.__doc__.endswith("Remove a tool from the project.")
    assert "Regenerate rivo.lock. check=True exits with error if anything would change." in RIVO.lock.__doc__
    assert "Accepts either a full shell string (no extra args) or a command + args list." in RIVO.exec.__doc__
    assert '"core" | "community" | "experimental" | "all"' in RIVO.search.__doc__
    assert '"json" | "mcp" | "json-schema"' in RIVO.show.__doc__
    assert "List installed tools. binaries=True shows the binary routing table." in RIVO.list_tools.__doc__


# --------------------------------------------------------------- manifest parse

EMPTY = {"image": None, "entrypoint": None, "args_template": None, "gpu_required": False}


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", {}),
        ("   Image:   ghcr.io/x/bwa:0.7   \n", {"image": "ghcr.io/x/bwa:0.7"}),
        ("Image: a\nImage: b\n", {"image": "b"}),
        ("Image:", {"image": ""}),
        ("Image: reg:5000/gpu-required:1.0", {"image": "reg:5000/gpu-required:1.0"}),
        ("image: x\nEntrypoint : y", {}),
        ("Entrypoint: bwa mem\r\nArgs template: mem {ref} {reads} > {sam}\r\n",
         {"entrypoint": "bwa mem", "args_template": "mem {ref} {reads} > {sam}"}),
        ("Image: a\rEntrypoint: b\u2028Args template: c", {"image": "a", "entrypoint": "b", "args_template": "c"}),
        ("GPU: required", {"gpu_required": True}),
        ("gpu_required: True", {"gpu_required": True}),
        ("Requires GPU: not required", {"gpu_required": True}),
        ("GPU: no\nNeeds a gpu", {}),
        ("GPU: required\nGPU: no", {"gpu_required": True}),
        ("Name: bwa\n  Inputs:\n    reads: fastq (required)\n", {}),
    ],
)
def test_parse_show_text(text, expected):
    m = RIVO().parse_show_text(text)
    assert m == {**EMPTY, **expected}
    assert list(m) == ["image", "entrypoint", "args_template", "gpu_required"]


def test_parse_show_runs_show_and_parses(fake_rivo):
    fake_rivo.behave("print('bwa\\n  Image: biocontainers/bwa:0.7\\n  Entrypoint: bwa\\n'); raise SystemExit(0)\n")
    m = RIVO().parse_show("bwa")
    assert m == {**EMPTY, "image": "biocontainers/bwa:0.7", "entrypoint": "bwa"}
    assert [c["argv"] for c in fake_rivo.calls] == [["show", "bwa"]]


def test_parse_show_goes_through_overridable_methods():
    class Mine(RIVO):
        def show(self, tool, fmt=None):
            return subprocess.CompletedProcess([], 0, f"Image: img-{tool}", "")

    assert Mine().parse_show("t")["image"] == "img-t"

    class NoneParser(Mine):
        def parse_show_text(self, text):
            return None

    assert NoneParser().parse_show("t") is None

    class Bad(Mine):
        def parse_show_text(self, text):
            return [text]

    with pytest.raises(TypeError) as info:
        Bad().parse_show("t")
    assert str(info.value) == "Expected dict, got list"
