"""Connector prompt and the clean-up of generated code (linkwell)."""

from __future__ import annotations

import ast
import hashlib
import logging

import pytest

from tavro.helpers import linkwell
from tavro.node import GatherNode, InputNode, ToolNode

EM = "\u2014"


class FakeLLM:
    """Records prompts; answers from a script (one answer per call)."""

    def __init__(self, *answers):
        self.answers = list(answers)
        self.prompts: list[str] = []

    def call(self, prompt, *args, **kwargs):
        assert not args and not kwargs
        self.prompts.append(prompt)
        return self.answers.pop(0)


class Bare:
    """A host node with nothing but an id."""

    def __init__(self, id):
        self.id = id


@pytest.fixture
def lw(tmp_path, monkeypatch):
    monkeypatch.setenv("TAVRO_CONNECTORS_PATH", str(tmp_path / "connectors.py"))
    monkeypatch.setattr(linkwell, "_default_llm", lambda: FakeLLM())
    return linkwell.Linkwell()


SEQS = {
    "type": "list[str]",
    "required": True,
    "entity": "protein_sequence",
    "format": "one_letter_code",
    "description": "Input sequences",
}


# ---------------------------------------------------------------- slot lines


@pytest.mark.parametrize(
    "meta, include_required, expected",
    [
        (SEQS, True, f"  - seqs: list[str] (required) [entity='protein_sequence', "
                     f"format='one_letter_code'] {EM} Input sequences"),
        (SEQS, False, f"  - seqs: list[str] [entity='protein_sequence', "
                      f"format='one_letter_code'] {EM} Input sequences"),
        ({}, True, f"  - seqs: unknown (optional) {EM} "),
        ({}, False, f"  - seqs: unknown {EM} "),
        ({"type": "int", "required": 0}, True, f"  - seqs: int (optional) {EM} "),
        # None and "" hide a tag; False and 0 do not
        ({"entity": None, "format": "", "role": False, "fallback": 0}, False,
         f"  - seqs: unknown [role=False, fallback=0] {EM} "),
        # fixed tag order whatever the record's order
        ({"fallback": True, "write_mode": "append", "cardinality_with": "b", "role": "r",
          "format": "pdb", "cardinality": "one", "entity": "e"}, False,
         "  - seqs: unknown [entity='e', cardinality='one', format='pdb', role='r', "
         f"cardinality_with='b', write_mode='append', fallback=True] {EM} "),
        ({"type": 3, "description": ["d"], "entity": ["x", 1]}, False,
         f"  - seqs: 3 [entity=['x', 1]] {EM} ['d']"),
    ],
)
def test_format_field(lw, meta, include_required, expected):
    assert lw._format_field("seqs", meta, include_required) == expected


def test_format_field_default_has_no_marker(lw):
    assert "(optional)" not in lw._format_field("k", {})
    assert lw._format_field(k=7, meta={"type": "x"}) == f"  - 7: x {EM} "


# ---------------------------------------------------------------- blocks


def test_downstream_tool_block(lw):
    v = ToolNode("fold", {"inputs": {"seqs": SEQS, "n": {"type": "int"}}})
    assert lw._downstream_block(v) == (
        "DOWNSTREAM tool 'fold' inputs (from MANIFEST):\n"
        f"  - seqs: list[str] (required) [entity='protein_sequence', format='one_letter_code'] {EM} Input sequences\n"
        f"  - n: int (optional) {EM} \n\n"
    )


@pytest.mark.parametrize("node", [Bare("x"), ToolNode("x", {}), GatherNode("x")])
def test_downstream_without_slots(lw, node):
    assert lw._downstream_block(node) == "DOWNSTREAM tool 'x' inputs (from MANIFEST):\n\n\n"


def test_downstream_input_node(lw):
    v = InputNode("user", {"path": "/a b", "n": 3, "flags": [True, None]})
    assert lw._downstream_block(v) == (
        "DOWNSTREAM is an InputNode. Its current keys and values are:\n"
        "  - path: '/a b'\n  - n: 3\n  - flags: [True, None]\n"
        f"Apply the same STEP 1-4 reasoning {EM} match by entity, convert format if needed. "
        "Do NOT passthrough everything blindly.\n\n"
    )
    with_manifest = InputNode("user", {"n": 3}, {"inputs": {"n": {"type": "int", "required": True}}})
    assert lw._downstream_block(with_manifest) == (
        f"DOWNSTREAM tool 'user' inputs (from MANIFEST):\n  - n: int (required) {EM} \n\n"
    )


def test_upstream_tool_block(lw):
    u = ToolNode("pkg.align", {"outputs": {"aln": {"type": "file_path", "format": "a3m", "required": True}}})
    assert lw._upstream_block(u, "edge_align_to_fold") == (
        "--- UPSTREAM 'pkg.align' (function name: edge_align_to_fold) ---\n"
        f"Outputs (from MANIFEST):\n  - aln: file_path [format='a3m'] {EM} \n\n"
    )
    assert lw._upstream_block(GatherNode("g"), "f") == (
        "--- UPSTREAM 'g' (function name: f) ---\nOutputs (from MANIFEST):\n\n\n"
    )


def test_upstream_input_node_without_manifest(lw):
    long = "x" * 200
    u = InputNode("user", {"seq": long, "n": 2})
    block = lw._upstream_block(u, "edge_user_to_fold")
    assert block == (
        "--- UPSTREAM 'user' (function name: edge_user_to_fold) ---\n"
        "InputNode with these key-value pairs (user-provided, all available):\n"
        f"  - seq: {repr(long)[:80]}\n  - n: 2\n"
        "For every key whose name matches a downstream field name, pass it through directly. "
        f"Do not omit any key that appears in the downstream inputs {EM} if the name matches, "
        "always include it.\n\n"
    )
    assert f"  - seq: '{'x' * 79}\n" in block


def test_upstream_input_node_with_manifest(lw):
    manifest = {"inputs": {"seq": {"type": "str", "entity": "protein_sequence"}}}
    head = (
        "--- UPSTREAM 'user' (function name: f) ---\n"
        f"Inputs (from MANIFEST {EM} these are the values that just flowed into this node):\n"
        f"  - seq: str [entity='protein_sequence'] {EM} "
    )
    assert lw._upstream_block(InputNode("user", {"seq": "MKV"}, manifest), "f") == head + "\n\n"
    extra = InputNode("user", {"seq": "MKV", "seed": 7, "note": "y" * 100}, manifest)
    assert lw._upstream_block(extra, "f") == head + (
        "\nAdditional keys available at runtime (pass through if name matches a downstream "
        f"field): {{'seed': '7', 'note': {repr(repr('y' * 100)[:80])}}}\n\n"
    )


# ---------------------------------------------------------------- whole prompt


def _sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


def _scenario_plain():
    up = ToolNode("align", {"outputs": {"aln": {"type": "file_path", "format": "a3m"}}})
    v = ToolNode("fold", {"inputs": {"aln": {"type": "file_path", "required": True, "format": "a3m"}}})
    return v, [(up, "edge_align_to_fold")], [], None, None


def _scenario_full():
    user = InputNode("user", {"seqs": ["MKV", "GGA"]})
    tool = ToolNode("split", {"outputs": {"dir": {"type": "dir_path"}}})
    cached = InputNode("params", {"n": 1})
    v = ToolNode("fold", {"inputs": {"seq": SEQS}}, split_key="dir")
    edges = [(user, "edge_user_to_fold"), (tool, "edge_split_to_fold")]
    return v, edges, [(cached, "edge_params_to_fold")], "  several files\n", "edge_split_to_fold"


def test_prompt_plain(lw):
    v, edges, cached, extra, scatter = _scenario_plain()
    prompt = lw._build_prompt(v, edges, cached, extra, scatter_fn=scatter)
    assert prompt.startswith(
        f"You are a Python coding agent. Write syntactically valid Python only {EM} no prose, "
        "no markdown.\n\nYOUR JOB: Write 1 connector function(s).\nA connector receives `output`"
    )
    assert "\n\nSTEP 1 \u2014 DECIDE WHAT THIS EDGE OWNS\n" in prompt
    assert "Same format \u2192 pass the value through" in prompt
    assert (
        "explicitly set it.\n\nDOWNSTREAM TOOL 'fold' \u2014 fields it needs:\n"
        "DOWNSTREAM tool 'fold' inputs (from MANIFEST):\n"
    ) in prompt
    assert "UPSTREAMS TO GENERATE CONNECTORS FOR:\n--- UPSTREAM 'align'" in prompt
    for absent in ("STEP 3b \u2014", "PRIORITY", "All upstreams", "ALREADY-GENERATED", "\nADDITIONAL CONTEXT:"):
        assert absent not in prompt
    assert "\n\n\nCODING CONSTRAINTS:\n  - Signature: def <name>(output: dict) -> dict\n  - Always" in prompt
    assert prompt.endswith(
        "per-element logic itself.\n\nWrite all 1 function(s) with these exact names: edge_align_to_fold."
    )
    # the wording as a whole is behaviour: any edit must be deliberate
    assert _sha(prompt) == "dbb5693abd6f971f41179b9fc5c32f7fa6a935e9aad86cdf5ad9944d6e2c1c21"


def test_prompt_full(lw):
    v, edges, cached, extra, scatter = _scenario_full()
    prompt = lw._build_prompt(v, edges, cached, extra, scatter_fn=scatter)
    i = prompt.index
    assert i("STEP 3b") < i("PRIORITY: ") < i("ALREADY-GENERATED") < i("DOWNSTREAM TOOL 'fold'")
    assert (
        "STEP 3b \u2014 SCATTER / MAP DOWNSTREAM (applies ONLY to function 'edge_split_to_fold')\n"
        "The downstream runs ONCE PER ITEM of the upstream collection. The upstream key 'dir' "
        "holds the collection to fan out. So 'edge_split_to_fold' must return a LIST of dicts"
    ) in prompt
    assert (
        "PRIORITY: InputNode upstreams (user, params) supply user-provided values and take "
        "precedence. For any downstream field that an InputNode can supply, the InputNode "
        f"connector owns it {EM} regular tool connectors (split) must NOT also return that same key."
    ) in prompt
    assert (
        "ALREADY-GENERATED CONNECTORS (do NOT regenerate these):\n"
        "  - params (edge_params_to_fold) [InputNode]\nTreat any field"
    ) in prompt
    # two blocks, each ending in a blank line, joined with a line break
    assert "always include it.\n\n\n--- UPSTREAM 'split'" in prompt
    assert "\nADDITIONAL CONTEXT:\nseveral files\n\n\nCODING CONSTRAINTS:\n" in prompt
    assert (
        "  - Signature: def <name>(output: dict) -> dict, EXCEPT function 'edge_split_to_fold' "
        f"which returns list[dict] (SCATTER edge {EM} see STEP 3b).\n"
    ) in prompt
    assert prompt.endswith(
        "Write all 2 function(s) with these exact names: edge_user_to_fold, edge_split_to_fold."
    )
    assert _sha(prompt) == "f6fa03ebd475b32d58c867ddc2e4d54822ce8726c85ccacdbc7a82f83e80daad"


@pytest.mark.parametrize("split_key", [None, ""])
def test_scatter_without_split_key(lw, split_key):
    v = ToolNode("fold", split_key=split_key)
    prompt = lw._build_prompt(v, [(ToolNode("a"), "edge_a_to_fold")], [], None, scatter_fn="edge_a_to_fold")
    assert "upstream collection. So 'edge_a_to_fold' must return" in prompt
    assert "The upstream key" not in prompt


def test_scatter_name_outside_batch(lw):
    v = ToolNode("fold", split_key="dir")
    prompt = lw._build_prompt(v, [(ToolNode("a"), "edge_a_to_fold")], [], None, scatter_fn="edge_b_to_fold")
    assert "STEP 3b \u2014" not in prompt and "EXCEPT function" not in prompt


@pytest.mark.parametrize(
    "edges, cached, note",
    [
        ([InputNode("u1"), InputNode("u2")], [], "All upstreams are InputNodes"),
        ([InputNode("u1")], [InputNode("u2")], "All upstreams are InputNodes"),
        ([ToolNode("t1")], [], None),
        ([ToolNode("t1")], [ToolNode("t2")], None),
        ([ToolNode("t1"), ToolNode("t2")], [InputNode("u9")],
         "PRIORITY: InputNode upstreams (u9) supply"),
        ([InputNode("u1"), ToolNode("t1")], [ToolNode("t2")], "regular tool connectors (t1, t2) must"),
    ],
)
def test_priority_notes(lw, edges, cached, note):
    prompt = lw._build_prompt(
        ToolNode("v"), [(u, f"edge_{u.id}_to_v") for u in edges], [(u, f"edge_{u.id}_to_v") for u in cached], ""
    )
    notes = ("PRIORITY:", "All upstreams are InputNodes")
    if note is None:
        assert not any(n in prompt for n in notes)
    else:
        assert note in prompt
        if note.startswith("All"):
            assert ("All upstreams are InputNodes (user-provided data). Pass through or rename keys "
                    "to match downstream input names.\n\n") in prompt


@pytest.mark.parametrize("extra, expected", [
    (None, None), ("", None), ("  \n", "\nADDITIONAL CONTEXT:\n\n\n"),
    ("\n ACTUAL UPSTREAM OUTPUT at runtime:\n  x = 1\n", "\nADDITIONAL CONTEXT:\nACTUAL UPSTREAM OUTPUT at runtime:\n  x = 1\n\n"),
])
def test_extra_context(lw, extra, expected):
    prompt = lw._build_prompt(ToolNode("v"), [(ToolNode("a"), "edge_a_to_v")], [], extra)
    if expected is None:
        assert "\nADDITIONAL CONTEXT:" not in prompt
    else:
        assert expected + "\nCODING CONSTRAINTS:\n" in prompt


def test_prompt_errors_reach_the_caller(lw):
    with pytest.raises(AttributeError):
        lw._build_prompt(ToolNode("v"), [(object(), "f")], [], None)
    with pytest.raises(ValueError, match="not enough values to unpack"):
        lw._build_prompt(ToolNode("v"), [(ToolNode("a"),)], [], None)
    with pytest.raises(TypeError):  # ids are joined as strings in the notes
        lw._build_prompt(ToolNode("v"), [(InputNode(5), "f"), (ToolNode("t"), "g")], [], None)


def test_prompt_methods_go_through_the_instance(lw):
    class Custom(linkwell.Linkwell):
        def _format_field(self, k, meta, include_required=False):
            return f"<{k}|{include_required}>"

        def _upstream_block(self, u, fn_name):
            return f"<<{u.id}>>"

    c = Custom()
    v = ToolNode("v", {"inputs": {"x": {}}})
    prompt = c._build_prompt(v, [(ToolNode("a"), "f"), (ToolNode("b"), "g")], [], None)
    assert "inputs (from MANIFEST):\n<x|True>\n\n" in prompt
    assert "UPSTREAMS TO GENERATE CONNECTORS FOR:\n<<a>>\n<<b>>\nCODING" in prompt


# ---------------------------------------------------------------- clean-up


FUNC = "def edge_a_to_b(output):\n    return {'x': output['y']}"


@pytest.mark.parametrize(
    "answer, expected",
    [
        (f"\n\n```python\n{FUNC}\n```\n\n", FUNC),
        (f"```\n{FUNC}\n```", FUNC),
        (f"```py3\n{FUNC}```", "3\n" + FUNC),  # the language word is ASCII letters only
        (f"  {FUNC}  ", FUNC),
        (f"Here it is:\n```python\n{FUNC}\n```", f"Here it is:\n```python\n{FUNC}"),
        (f"```python\n{FUNC}\n```\nDone.", f"{FUNC}\n```\nDone."),
        ("", ""),
        (None, ""),  # a vendor's answer without text
    ],
)
def test_call_and_clean(lw, answer, expected):
    lw.llm = FakeLLM(answer)
    assert lw._call_and_clean("the prompt") == expected
    assert lw.llm.prompts == ["the prompt"]


def test_postprocess_drops_prose_and_fixes_imports(lw):
    lw.llm = FakeLLM()
    code = (
        "Sure, here are the connectors.\nimport re\nfrom collections import (\n    deque,\n)\n"
        "def edge_a_to_b(output):\n    import re\n    return {'x': re.sub('a', 'b', output['y'])}\n"
        "\n"
        "def edge_c_to_b(output):\n    return {'x': subprocess.run(json.dumps(glob.glob(os.sep)))}\n"
    )
    out = lw._postprocess_code(code)
    assert out == (
        "def edge_a_to_b(output):\n    import re\n    return {'x': re.sub('a', 'b', output['y'])}\n"
        "\n"
        "def edge_c_to_b(output):\n    import subprocess\n"
        "    return {'x': subprocess.run(json.dumps(glob.glob(os.sep)))}"
    )
    assert lw.llm.prompts == []


def test_postprocess_one_repair_request(lw, caplog):
    broken = "Some prose\ndef edge_a_to_b(output:\n    return {}"
    lw.llm = FakeLLM("```python\nNote:\ndef edge_a_to_b(output):\n    return {}\n```")
    assert lw._postprocess_code(broken) == "def edge_a_to_b(output):\n    return {}"
    (prompt,) = lw.llm.prompts
    try:
        ast.parse("def edge_a_to_b(output:\n    return {}")
    except SyntaxError as e:
        error = str(e)
    assert prompt == (
        f"Python syntax error: {error}\nFix and return only the corrected code, no markdown:\n\n"
        "def edge_a_to_b(output:\n    return {}"
    )


def test_postprocess_still_broken(lw, caplog):
    lw.llm = FakeLLM("still (broken")
    with caplog.at_level(logging.WARNING, logger="tavro.helpers.linkwell"):
        assert lw._postprocess_code("no function here (") == "still (broken"
    assert len(lw.llm.prompts) == 1 and lw.llm.prompts[0].endswith("\n\nno function here (")
    messages = [r.getMessage() for r in caplog.records]
    assert [m.split(":")[0] for m in messages] == ["Top-level import strip skipped", "Import injection skipped"]
    assert all(r.name == "tavro.helpers.linkwell" and r.args for r in caplog.records)


def test_postprocess_without_def_line_parses(lw):
    lw.llm = FakeLLM()
    assert lw._postprocess_code("x = 1") == "x = 1"
    assert lw._postprocess_code("") == ""
    assert lw.llm.prompts == []


def test_strip_toplevel_imports(lw):
    code = "import re\nimport os, sys; X = 1\nfrom a import (\n  b,\n  c)\ndef f():\n    import json\n    return re\n"
    assert lw._strip_toplevel_imports(code) == "def f():\n    import json\n    return re"
    with pytest.raises(SyntaxError):
        lw._strip_toplevel_imports("def (")


@pytest.mark.parametrize(
    "code, expected",
    [
        # header modules and the function's own imports need nothing
        ("def f(o):\n    return json.loads(glob.glob(os.sep)[0])", None),
        ("def f(o):\n    import re as regex, os.path\n    return regex.x, os.path.y", None),
        ("def f(o):\n    from collections import deque\n    return collections.deque", None),
        # names that are not modules of the standard library
        ("def f(o):\n    return numpy.x + o", None),
        ("async def f(o):\n    return re.x\nclass C:\n    def m(self):\n        return re.x", None),
        # an alias hides the module's own name
        ("def f(o):\n    import re as regex\n    return regex.x, re.y",
         "def f(o):\n    import re\n    import re as regex\n    return regex.x, re.y"),
        # sorted, indented like the body, right after the def line
        ("def f(o):\n        return math.sqrt(re.x) + subprocess.run",
         "def f(o):\n        import math\n        import re\n        import subprocess\n"
         "        return math.sqrt(re.x) + subprocess.run"),
        ("x = 1\n\ndef f(o):\n    return re.x\n\ndef g(o):\n    def inner():\n        return shutil\n"
         "    return inner",
         "x = 1\n\ndef f(o):\n    import re\n    return re.x\n\ndef g(o):\n    import shutil\n"
         "    def inner():\n        return shutil\n    return inner"),
        # a body on its own lines after a header that spans two lines, or tabs
        ("def f(a,\n      b):\n    return re.x",
         "def f(a,\n      b):\n    import re\n    return re.x"),
        ("def f(o):\n\treturn re.x", "def f(o):\n\timport re\n\treturn re.x"),
    ],
)
def test_inject_missing_imports(lw, code, expected):
    out = lw._inject_missing_imports(code)
    assert out == (code if expected is None else expected)
    ast.parse(out)


def test_inject_without_stdlib_names(lw, monkeypatch):
    monkeypatch.delattr(linkwell.sys, "stdlib_module_names")
    assert lw._inject_missing_imports("def f(o):\n    return re.x") == "def f(o):\n    return re.x"


@pytest.mark.parametrize("method", ["_postprocess_code", "_strip_toplevel_imports", "_inject_missing_imports"])
@pytest.mark.parametrize("value, type_name", [(None, "NoneType"), (b"def f(): pass", "bytes")])
def test_code_must_be_str(lw, method, value, type_name):
    with pytest.raises(TypeError, match=rf"^Argument 'code' has incorrect type \(expected str, got {type_name}\)$"):
        getattr(lw, method)(value)


def test_cleanup_methods_go_through_the_instance(lw):
    calls = []

    class Custom(linkwell.Linkwell):
        def _strip_toplevel_imports(self, code):
            calls.append("strip")
            raise RuntimeError("boom")

        def _inject_missing_imports(self, code):
            calls.append("inject")
            return code + "\n# injected"

    c = Custom()
    assert c._postprocess_code("def f():\n    pass") == "def f():\n    pass\n# injected"
    assert calls == ["strip", "inject"]
