"""Connector store, generation and loading (linkwell)."""

from __future__ import annotations

import os
import re
import sys
import threading
import types

import pytest

from tavro.helpers import linkwell
from tavro.node import InputNode, ToolNode

HEADER = "# Auto-generated connector functions\nimport os\nimport json\nimport glob\nimport tempfile\n"


def requested(prompt: str) -> list[str]:
    return prompt.rsplit("with these exact names: ", 1)[1].rstrip(".").split(", ")


class ModelLLM:
    """Writes every requested connector; `body(name)` gives the return value."""

    def __init__(self, body=None):
        self.prompts: list[str] = []
        self.body = body or (lambda name: f"{{'via': {name!r}, 'out': output}}")

    def call(self, prompt):
        self.prompts.append(prompt)
        defs = [f"def {n}(output):\n    return {self.body(n)}" for n in requested(prompt)]
        return "```python\n" + "\n\n".join(defs) + "\n```"


class ScriptLLM:
    def __init__(self, *answers):
        self.answers = list(answers)
        self.prompts: list[str] = []

    def call(self, prompt):
        self.prompts.append(prompt)
        return self.answers.pop(0)


@pytest.fixture
def store(tmp_path, monkeypatch):
    path = tmp_path / "store" / "connectors.py"
    path.parent.mkdir()
    monkeypatch.setenv("TAVRO_CONNECTORS_PATH", str(path))
    return path


@pytest.fixture
def lw(store, monkeypatch):
    monkeypatch.setattr(linkwell, "_default_llm", ModelLLM)
    return linkwell.Linkwell()


# ---------------------------------------------------------------- module surface


def test_module_names():
    names = [n for n in vars(linkwell) if not n.startswith("__")]
    assert names == ["ast", "logging", "re", "os", "sys", "importlib", "threading", "Oraclet", "logger",
                     "_get_connectors_path", "_connectors_path", "_ident", "_edge_fn", "_default_llm",
                     "Linkwell"]
    from tavro.helpers.oraclet import Oraclet
    from tavro.helpers.paths import get_connectors_path

    assert linkwell.Oraclet is Oraclet and linkwell._get_connectors_path is get_connectors_path
    assert linkwell.logger.name == "tavro.helpers.linkwell"
    assert hasattr(linkwell.importlib, "util")


@pytest.mark.parametrize(
    "u, v, name",
    [
        ("pipeline.align-2", "sort", "edge_align_2_to_sort"),
        ("a.b.c", "x y", "edge_c_to_x_y"),
        ("fold\u00e9", "n\u00b2", "edge_fold\u00e9_to_n\u00b2"),
        ("trailing.", "v", "edge__to_v"),
    ],
)
def test_edge_fn(u, v, name):
    assert linkwell._edge_fn(u, v) == name


def test_ident_and_path_checks(monkeypatch, tmp_path):
    with pytest.raises(TypeError, match=r"^Argument 'node_id' has incorrect type \(expected str, got int\)$"):
        linkwell._ident(3)
    with pytest.raises(TypeError):
        linkwell._edge_fn("a", None)
    monkeypatch.setattr(linkwell, "_get_connectors_path", lambda: str(tmp_path / "x.py"))
    assert linkwell._connectors_path() == str(tmp_path / "x.py")
    monkeypatch.setattr(linkwell, "_get_connectors_path", lambda: tmp_path)
    with pytest.raises(TypeError):
        linkwell._connectors_path()


def test_default_llm_is_looked_up_at_call_time(monkeypatch):
    import tavro.helpers.oraclet as oraclet

    marker = object()
    monkeypatch.setattr(oraclet, "default_llm", lambda: marker)
    assert linkwell._default_llm() is marker


# ---------------------------------------------------------------- construction


def test_constructor_resets_the_store(store, monkeypatch):
    store.write_text("def old(output):\n    return 1\n")
    llm = ModelLLM()
    monkeypatch.setattr(linkwell, "_default_llm", lambda: llm)
    lw = linkwell.Linkwell()
    assert store.read_text() == HEADER
    assert lw.llm is llm and lw._module is None and lw.edgeConnectors == {}
    assert type(lw.fileLock) is type(threading.Lock()) and not lw.fileLock.locked()
    assert lw.get_edge_connectors() is lw.get_edge_connectors() is lw.edgeConnectors
    with pytest.raises(TypeError):
        linkwell.Linkwell(llm)


def test_set_llm_goes_to_the_vendor(lw, monkeypatch):
    import tavro.helpers.oraclet as oraclet

    sent = []

    class FakeAnthropic:
        def __init__(self, api_key):
            self.api_key = api_key
            self.messages = self

        def create(self, **req):
            sent.append(req)
            text = "def edge_a_to_b(output):\n    return {'k': 1}"
            return types.SimpleNamespace(content=[types.SimpleNamespace(text=text)])

    monkeypatch.setattr(oraclet, "Anthropic", FakeAnthropic)
    assert lw.set_llm("anthropic", "claude-x", "sk-1") is None
    assert lw.llm.provider == "anthropic" and lw.llm.model_name == "claude-x"
    a, b = ToolNode("a"), ToolNode("b")
    assert lw.generateConnector(a, b) == "edge_a_to_b"
    (req,) = sent
    assert req["model"] == "claude-x" and "edge_a_to_b" in req["messages"][0]["content"]
    assert lw.getConnector(a, b)({}) == {"k": 1}


# ---------------------------------------------------------------- generation


def test_batch_of_all_in_edges(lw, store):
    a, b = ToolNode("a"), InputNode("b", {"x": 1})
    down = ToolNode("down", inNodes=[a, b])
    assert lw.generateConnector(a, down) == "edge_a_to_down"
    (prompt,) = lw.llm.prompts
    assert requested(prompt) == ["edge_a_to_down", "edge_b_to_down"]
    assert lw.edgeConnectors == {("a", "down"): "edge_a_to_down", ("b", "down"): "edge_b_to_down"}
    text = store.read_text()
    assert text.startswith(HEADER.rstrip() + "\n\ndef edge_a_to_down(output):") and text.endswith("}\n")

    lw.edgeConnectors.clear()
    assert lw.generateConnector(b, down) == "edge_b_to_down"
    assert len(lw.llm.prompts) == 1  # found in the store, no request
    assert lw.edgeConnectors == {("a", "down"): "edge_a_to_down", ("b", "down"): "edge_b_to_down"}


@pytest.mark.parametrize("in_nodes", [None, [], "missing"])
def test_batch_of_just_the_upstream(lw, in_nodes):
    down = ToolNode("down")
    if in_nodes == "missing":
        del down.inNodes
    else:
        down.inNodes = in_nodes
    assert lw.generateConnector(ToolNode("a"), down) == "edge_a_to_down"
    assert requested(lw.llm.prompts[0]) == ["edge_a_to_down"]


def test_upstream_outside_in_nodes_goes_last(lw):
    down = ToolNode("down", inNodes=[ToolNode("x")])
    lw.generateConnector(ToolNode("a"), down, extra_context="ACTUAL UPSTREAM OUTPUT at runtime:")
    (prompt,) = lw.llm.prompts
    assert requested(prompt) == ["edge_x_to_down", "edge_a_to_down"]
    assert "\nADDITIONAL CONTEXT:\nACTUAL UPSTREAM OUTPUT at runtime:\n\n" in prompt


def test_stored_upstream_is_a_sibling(lw, store):
    a, b = ToolNode("a"), ToolNode("b")
    lw.generateConnector(a, ToolNode("down"))
    down = ToolNode("down", inNodes=[a, b])
    assert lw.generateConnector(a, down) == "edge_a_to_down"
    prompt = lw.llm.prompts[-1]
    assert requested(prompt) == ["edge_b_to_down"]
    assert "ALREADY-GENERATED CONNECTORS (do NOT regenerate these):\n  - a (edge_a_to_down)\n" in prompt
    assert lw.edgeConnectors[("b", "down")] == "edge_b_to_down"


def test_scatter_source(lw):
    down = ToolNode("down", split_key="dir")
    lw.generateConnector(ToolNode("a"), down, scatter_source=1)
    assert "(applies ONLY to function 'edge_a_to_down')\n" in lw.llm.prompts[0]
    assert "The upstream key 'dir' holds the collection" in lw.llm.prompts[0]


def test_extra_context_type_is_checked_first(lw):
    with pytest.raises(TypeError, match=r"^Argument 'extra_context' has incorrect type \(expected str, got bytes\)$"):
        lw.generateConnector(ToolNode("a"), ToolNode("b"), b"ctx")
    assert lw.llm.prompts == []


def test_regenerated_function_replaces_the_old_one(lw, store, monkeypatch):
    lw.generateConnector(ToolNode("a"), ToolNode("b"))
    lw.generateConnector(ToolNode("z"), ToolNode("b"))
    # The stored-check misses edge a -> b once, as when another thread wrote it
    # while this one was asking the model: the new text replaces the old one.
    real, calls = linkwell._connectors_path, []

    def absent_once():
        calls.append(1)
        return real() + ".absent" if len(calls) == 1 else real()

    monkeypatch.setattr(linkwell, "_connectors_path", absent_once)
    lw.llm = ScriptLLM("def edge_a_to_b(output):\n    return {'new': 1}")
    assert lw.generateConnector(ToolNode("a"), ToolNode("b")) == "edge_a_to_b"
    text = store.read_text()
    assert text.count("def edge_a_to_b(") == 1 and "'new': 1" in text
    assert text.index("def edge_z_to_b(") < text.index("def edge_a_to_b(")
    assert text == HEADER.rstrip() + "\n\n" + (
        "def edge_z_to_b(output):\n    return {'via': 'edge_z_to_b', 'out': output}\n\n"
        "def edge_a_to_b(output):\n    return {'new': 1}\n"
    )
    assert lw.getConnector(ToolNode("a"), ToolNode("b"))({}) == {"new": 1}


# ---------------------------------------------------------------- loading


def test_get_connector(lw, store):
    a, b = ToolNode("a"), ToolNode("b")
    assert lw.getConnector(a, b) is None
    lw.generateConnector(a, b)
    fn = lw.getConnector(a, b)
    assert fn({"p": 1}) == {"via": "edge_a_to_b", "out": {"p": 1}}
    module = lw._module
    assert module.__name__ == "connectors" and "connectors" not in sys.modules
    assert module.__file__ == str(store)
    assert lw.getConnector(a, b).__globals__ is module.__dict__ and lw._module is module
    assert lw.getConnector(ToolNode("b"), a) is None

    lw.generateConnector(ToolNode("c"), b)
    assert lw._module is None
    fn_c = lw.getConnector(ToolNode("c"), b)
    assert lw._module is not module and fn({}) == {"via": "edge_a_to_b", "out": {}}
    assert fn_c.__globals__["json"] is __import__("json")


def test_store_rewritten_in_the_same_second_is_reloaded(lw, store):
    a, b = ToolNode("a"), ToolNode("b")
    lw.llm = ScriptLLM("def edge_a_to_b(output):\n    return 1", "def edge_a_to_b(output):\n    return 2")
    lw.generateConnector(a, b)
    assert lw.getConnector(a, b)({}) == 1
    st = store.stat()
    lw.edgeConnectors.clear()
    store.write_text(HEADER)  # forget it, so it is generated again
    lw.generateConnector(a, b)
    os.utime(store, ns=(st.st_atime_ns, st.st_mtime_ns))
    assert store.stat().st_size == st.st_size and store.stat().st_mtime_ns == st.st_mtime_ns
    assert lw.getConnector(a, b)({}) == 2
    assert sorted(os.listdir(store.parent)) == ["connectors.py", "connectors.py.lock"]  # no __pycache__


@pytest.mark.parametrize(
    "answer, missing",
    [
        ("def edge_a_to_down(output):\n    return {}", "edge_b_to_down"),
        ("", "edge_a_to_down, edge_b_to_down"),
        (None, "edge_a_to_down, edge_b_to_down"),  # the vendor answered without text
        ("def helper(output):\n    return {}", "edge_a_to_down, edge_b_to_down"),
        ("def edge_a_to_down(output):\n    return {}\n\ndef edge_b_to_down(output):\n    return {}\n"
         "\nedge_b_to_down = None", "edge_b_to_down"),  # defined, but not a function once loaded
    ],
)
def test_batch_without_its_connectors_is_refused(lw, store, answer, missing):
    other = ToolNode("z"), ToolNode("y")
    lw.generateConnector(*other)
    fn_z = lw.getConnector(*other)
    module, before, registry = lw._module, store.read_bytes(), dict(lw.edgeConnectors)
    a, b = ToolNode("a"), ToolNode("b")
    lw.llm = ScriptLLM(answer)
    with pytest.raises(RuntimeError, match=f"^Generated connector code for edge_a_to_down, edge_b_to_down "
                                           f"does not define {missing}$"):
        lw.generateConnector(a, ToolNode("down", inNodes=[a, b]))
    assert store.read_bytes() == before and lw._module is module and lw.edgeConnectors == registry
    assert lw.getConnector(a, ToolNode("down")) is None and lw.getConnector(*other) is fn_z


def test_unloadable_store_keeps_failing(lw, store):
    lw.generateConnector(ToolNode("a"), ToolNode("b"))
    store.write_text(HEADER + "def broken(:\n")
    for _ in range(2):
        with pytest.raises(SyntaxError):
            lw.getConnector(ToolNode("a"), ToolNode("b"))
        assert lw._module is None and not lw.fileLock.locked()


# ---------------------------------------------------------------- refusing bad code


OK_FN = "def edge_a_to_b(output):\n    return {}\n"


@pytest.mark.parametrize(
    "answers, error, cause",
    [
        (("def edge_a_to_b(output:\n    return {}", "def edge_a_to_b(output:\n    return {}"), SyntaxError, SyntaxError),
        (("def edge_a_to_b(output, output):\n    return {}",), SyntaxError, SyntaxError),  # parses only
        # compiles, but the store would raise whenever it is loaded
        ((OK_FN + "\nprint(edge_a_to_b(sample_output))",), RuntimeError, NameError),
        ((OK_FN + "\nratio = 1 / 0",), RuntimeError, ZeroDivisionError),
        ((OK_FN + "\nraise SystemExit(3)",), RuntimeError, SystemExit),
    ],
)
def test_code_that_does_not_parse_or_load_is_never_stored(lw, store, answers, error, cause):
    a, b = ToolNode("a"), ToolNode("b")
    lw.generateConnector(ToolNode("z"), b)
    fn_z = lw.getConnector(ToolNode("z"), b)
    module, before, registry = lw._module, store.read_bytes(), dict(lw.edgeConnectors)
    lw.llm = ScriptLLM(*answers)
    with pytest.raises(error, match="edge_a_to_b") as info:
        lw.generateConnector(a, b)
    assert isinstance(info.value.__cause__, cause)
    assert "connectors" not in sys.modules
    assert store.read_bytes() == before and lw._module is module and lw.edgeConnectors == registry
    assert lw.llm.answers == [] and not lw.fileLock.locked()
    assert lw.getConnector(ToolNode("z"), b) is fn_z


def test_resulting_store_that_does_not_parse_is_refused(lw, store):
    # an earlier definition whose removal would cut another function in half
    store.write_text(HEADER + "\ndef keep(output):\n    def edge_a_to_b(x):\n        return x\n    return 1\n")
    before = store.read_bytes()
    lw.llm = ScriptLLM("def edge_a_to_b(output):\n    return {}")
    with pytest.raises(SyntaxError, match="edge_a_to_b"):
        lw.generateConnector(ToolNode("a"), ToolNode("b"))
    assert store.read_bytes() == before and lw.edgeConnectors == {}


def test_store_errors_release_the_lock(lw, store):
    store.unlink()
    with pytest.raises(FileNotFoundError):
        lw.generateConnector(ToolNode("a"), ToolNode("b"))
    assert not lw.fileLock.locked() and lw.edgeConnectors == {}


@pytest.mark.parametrize("call", ["generateConnector", "getConnector"])
def test_node_without_id_fails_with_its_own_error(lw, call):
    """The lookup of the first id fails; the second must not run with that error still set."""

    class Node(ToolNode):
        pass

    for i in range(50):
        node = Node("b")
        Node.generation = i  # the class changed since it last looked up "id": a cold attribute cache
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'id'"):
            getattr(lw, call)(None, node)
    assert lw.llm.prompts == [] and lw.edgeConnectors == {}


def test_llm_failure_propagates(lw, store):
    class Down:
        def call(self, prompt):
            raise ConnectionError("vendor down")

    lw.llm = Down()
    with pytest.raises(ConnectionError, match="vendor down"):
        lw.generateConnector(ToolNode("a"), ToolNode("b"))
    assert store.read_text() == HEADER and lw.edgeConnectors == {}


# ---------------------------------------------------------------- threads and the lock


def test_llm_request_runs_without_the_lock(lw):
    seen = []

    class Watching(ModelLLM):
        def call(self, prompt):
            seen.append(lw.fileLock.locked())
            return super().call(prompt)

    lw.llm = Watching()
    lw.generateConnector(ToolNode("a"), ToolNode("b"))
    assert seen == [False]


def test_two_threads_generate_the_same_edge(lw, store):
    both_asking = threading.Barrier(2, timeout=10)
    first_done = threading.Event()

    class Racing:
        def call(self, prompt):
            both_asking.wait()
            if threading.current_thread().name == "second":
                assert first_done.wait(10)
            return f"def edge_a_to_b(output):\n    return {threading.current_thread().name!r}"

    lw.llm = Racing()
    errors = []

    def run():
        try:
            assert lw.generateConnector(ToolNode("a"), ToolNode("b")) == "edge_a_to_b"
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)
        finally:
            if threading.current_thread().name == "first":
                first_done.set()

    threads = [threading.Thread(target=run, name=n) for n in ("first", "second")]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    assert not errors
    text = store.read_text()
    assert len(re.findall(r"^def edge_a_to_b\(", text, re.M)) == 1
    assert lw.getConnector(ToolNode("a"), ToolNode("b"))({}) == "second"


# ---------------------------------------------------------------- subclassing


def test_subclass_overrides_are_used(store, monkeypatch):
    monkeypatch.setattr(linkwell, "_default_llm", ModelLLM)
    seen = []

    class Custom(linkwell.Linkwell):
        def __init__(self):
            super().__init__()
            self.extra = "kept"

        def _build_prompt(self, v, edges, cached, extra_context, scatter_fn=None):
            seen.append([fn for _, fn in edges])
            return super()._build_prompt(v, edges, cached, extra_context, scatter_fn=scatter_fn)

        def _postprocess_code(self, code):
            return super()._postprocess_code(code).replace("'via'", "'custom'")

    c = Custom()
    assert c.extra == "kept" and isinstance(c, linkwell.Linkwell)
    c.generateConnector(ToolNode("a"), ToolNode("b"))
    assert seen == [["edge_a_to_b"]]
    assert c.getConnector(ToolNode("a"), ToolNode("b"))({})["custom"] == "edge_a_to_b"


# ---------------------------------------------------------------- the store file itself


def test_rewrite_keeps_the_file_mode_and_links(tmp_path, monkeypatch):
    real = tmp_path / "real" / "connectors.py"
    real.parent.mkdir()
    link = tmp_path / "link.py"
    link.symlink_to(real)
    monkeypatch.setenv("TAVRO_CONNECTORS_PATH", str(link))
    monkeypatch.setattr(linkwell, "_default_llm", ModelLLM)
    lw = linkwell.Linkwell()
    real.chmod(0o640)
    lw.generateConnector(ToolNode("a"), ToolNode("b"))
    assert link.is_symlink() and os.readlink(link) == str(real)
    assert (real.stat().st_mode & 0o777) == 0o640
    assert "def edge_a_to_b(" in real.read_text()
    assert sorted(os.listdir(real.parent)) == ["connectors.py"]  # no temporary file left
    assert lw.getConnector(ToolNode("a"), ToolNode("b"))({})["via"] == "edge_a_to_b"


def test_store_text_is_read_with_universal_newlines(lw, store):
    store.write_bytes(HEADER.replace("\n", "\r\n").encode() + b"\r\ndef edge_a_to_b(output):\r\n    return 1\r\n")
    lw.generateConnector(ToolNode("a"), ToolNode("b"))  # found by the stored-check
    assert lw.getConnector(ToolNode("a"), ToolNode("b"))({}) == 1
    lw.generateConnector(ToolNode("c"), ToolNode("b"))
    assert b"\r" not in store.read_bytes()


# ---------------------------------------------------------------- batches kept apart

FIRST = """def _pick(output):
    return "first"

LIMIT = 10

def edge_a_to_b(output):
    return {"v": _pick(output), "limit": LIMIT, "n": len(output)}
"""

LATER = """def _pick(output, *, _pick_2=None):
    return "later"

LIMIT = 99
COUNT = 0

def len(x):  # shadows the builtin that edge_a_to_b calls
    return -1

def edge_a_to_b(output):
    return {"hijacked": True}

class _Helper:
    LIMIT = 5

    def get(self):
        return LIMIT + _Helper.LIMIT

def edge_c_to_d(output):
    global COUNT, LIMIT
    COUNT += 1
    picked = [_pick(x) for x in [output] if (LIMIT := LIMIT + 1)]

    def inner(_pick):
        return _pick

    lam = lambda LIMIT=LIMIT: LIMIT
    return {"v": _pick(output), "helper": _Helper().get(), "inner": inner(7), "lam": lam(),
            "len": len(output), "f": f"{_pick(output)}:{LIMIT}", "other": edge_a_to_b(output),
            "count": COUNT, "picked": picked}
"""


def test_a_later_batch_never_changes_earlier_connectors(lw, store, caplog):
    a, b, c, d = (ToolNode(n) for n in "abcd")
    lw.llm = ScriptLLM(FIRST, LATER)
    lw.generateConnector(a, b)
    with caplog.at_level("DEBUG", logger="tavro.helpers.linkwell"):
        lw.generateConnector(c, d)
    assert lw.getConnector(a, b)({"x": 1}) == {"v": "first", "limit": 10, "n": 1}
    assert lw.getConnector(c, d)({"x": 1}) == {
        "v": "later", "helper": 105, "inner": 7, "lam": 100, "len": -1, "f": "later:100",
        "other": {"hijacked": True}, "count": 1, "picked": ["later"]}
    text = store.read_text()
    assert text.count("def edge_a_to_b(") == 1 and "def _edge_a_to_b(output):" in text
    # renamed where the module-level name is meant, nowhere else
    assert "def _pick_3(output, *, _pick_2=None):" in text and "def len_2(x):" in text
    assert "    global COUNT, LIMIT_2\n" in text and "    def inner(_pick):\n        return _pick\n" in text
    assert "lam = lambda LIMIT=LIMIT_2: LIMIT\n" in text and "    LIMIT = 5\n" in text
    assert "# shadows the builtin" in text  # the batch keeps its text
    assert "LIMIT -> LIMIT_2, _pick -> _pick_3, edge_a_to_b -> _edge_a_to_b, len -> len_2" in caplog.text
    lw.edgeConnectors.clear()
    assert lw.generateConnector(a, b) == "edge_a_to_b" and len(lw.llm.prompts) == 2  # still stored


def test_store_written_before_still_loads_and_takes_new_batches(lw, store):
    # earlier versions let a later batch replace an earlier helper; such a store loads as it did
    old = FIRST.split("LIMIT")[0] + 'def edge_a_to_b(output):\n    return _pick(output)\n\n'
    store.write_text(HEADER + "\n" + old + old.replace('"first"', '"second"').replace("edge_a", "edge_c"))
    a, b, c = ToolNode("a"), ToolNode("b"), ToolNode("c")
    lw.generateConnector(a, b), lw.generateConnector(c, b)
    assert lw.getConnector(a, b)({}) == "second" and len(lw.llm.prompts) == 0
    lw.llm = ScriptLLM('def _pick(output):\n    return "new"\n\ndef edge_e_to_b(output):\n    return _pick(output)')
    lw.generateConnector(ToolNode("e"), b)
    assert [lw.getConnector(n, b)({}) for n in (a, c, ToolNode("e"))] == ["second", "second", "new"]


def test_a_name_that_cannot_be_renamed_refuses_the_batch(lw, store):
    lw.llm = ScriptLLM("def edge_a_to_b(output):\n    import collections\n    return collections",
                       "def edge_c_to_d(output):\n    return collections.abc\n\nimport collections.abc")
    lw.generateConnector(ToolNode("a"), ToolNode("b"))
    before = store.read_bytes()
    lw._strip_toplevel_imports = lambda code: code  # as a subclass that keeps imports might
    with pytest.raises(RuntimeError, match="binds 'collections', which the connector store already uses"):
        lw.generateConnector(ToolNode("c"), ToolNode("d"))
    assert store.read_bytes() == before
