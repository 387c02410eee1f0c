"""The LLM client: vendor choice, request shapes through the real SDKs, errors."""

from __future__ import annotations

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from tavro.helpers import oraclet
from tavro.helpers.oraclet import Oraclet, default_llm

import anthropic
import openai
from google import genai
from google.genai import types as genai_types

REPLIES = {
    "openai": {
        "id": "c1", "object": "chat.completion", "created": 0, "model": "m",
        "choices": [{"index": 0, "finish_reason": "stop",
                     "message": {"role": "assistant", "content": "from openai"}}],
    },
    "anthropic": {
        "id": "msg_1", "type": "message", "role": "assistant", "model": "m",
        "content": [{"type": "text", "text": "from anthropic"}],
        "stop_reason": "end_turn", "usage": {"input_tokens": 1, "output_tokens": 1},
    },
    "google": {
        "candidates": [{"content": {"role": "model", "parts": [{"text": "from google"}]}}],
    },
}


class Stub:
    """A local HTTP server that records each request and answers as a vendor."""

    def __init__(self):
        self.requests: list[dict] = []
        stub = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                stub.requests.append({"path": self.path, "body": body})
                vendor = ("anthropic" if "/messages" in self.path
                          else "google" if "generateContent" in self.path else "openai")
                data = json.dumps(REPLIES[vendor]).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def stub():
    s = Stub()
    yield s
    s.close()


def client_for(provider: str, stub: Stub):
    """A real SDK client aimed at the stub, swapped in for the built one."""
    if provider == "openai":
        o = Oraclet("openai", "gpt-test", "k")
        o.client = openai.OpenAI(api_key="k", base_url=stub.url + "/v1", max_retries=0)
    elif provider == "anthropic":
        o = Oraclet("anthropic", "claude-test", "k")
        o.client = anthropic.Anthropic(api_key="k", base_url=stub.url, max_retries=0)
    else:
        o = Oraclet("google", "gemini-test", "k")
        o.client = genai.Client(
            api_key="k", http_options=genai_types.HttpOptions(base_url=stub.url)
        )
    return o


# ---------------------------------------------------------------- constructor


@pytest.mark.parametrize(
    "provider, cls",
    [("OpenAI", openai.OpenAI), ("anthropic", anthropic.Anthropic), ("GOOGLE", genai.Client)],
)
def test_provider_is_lowercased_and_builds_its_client(provider, cls):
    o = Oraclet(provider, "model-x", "key")
    assert o.provider == provider.lower() and o.model_name == "model-x"
    assert isinstance(o.client, cls)
    assert "key" not in vars(o).values()


@pytest.mark.parametrize("provider", ["Azure", " openai"])
def test_unsupported_provider(provider):
    with pytest.raises(ValueError) as info:
        Oraclet(provider, "m", "k")
    assert str(info.value) == f"Unsupported provider: {provider!r}. Use 'openai', 'anthropic', or 'google'."


class Str(str):
    pass


@pytest.mark.parametrize(
    "args, name, got",
    [
        (("openai", "m", None), "api_key", "NoneType"),
        ((1, "m", "k"), "provider", "int"),
        (("openai", Str("m"), "k"), "model_name", "Str"),
    ],
)
def test_constructor_type_errors(args, name, got):
    with pytest.raises(TypeError) as info:
        Oraclet(*args)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"


def test_empty_key_defers_the_client_to_the_first_call(monkeypatch):
    built = []

    class FakeOpenAI:
        def __init__(self, **kw):
            built.append(kw)
            raise openai.OpenAIError("missing key")

    monkeypatch.setattr(oraclet, "OpenAI", FakeOpenAI)
    o = Oraclet("openai", "m", "")  # no failure at construction
    assert built == [] and o.client is None
    with pytest.raises(openai.OpenAIError, match="missing key"):
        o.call("hi")
    assert built == [{"api_key": ""}]  # never an invented key


def test_keyless_default_client_fails_at_first_request(monkeypatch):
    for var in ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY"):
        monkeypatch.delenv(var, raising=False)
    o = default_llm()
    assert (o.provider, o.model_name) == ("google", "gemini-2.5-flash-lite")
    with pytest.raises(Exception):
        o.call("hi")


# ---------------------------------------------------------------- default_llm


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"ANTHROPIC_API_KEY": "a", "OPENAI_API_KEY": "o"}, ("anthropic", "claude-haiku-4-5-20251001")),
        ({"ANTHROPIC_API_KEY": "", "OPENAI_API_KEY": "o"}, ("openai", "gpt-4o-mini")),
        ({"GEMINI_API_KEY": "", "GOOGLE_API_KEY": "g"}, ("google", "gemini-2.5-flash-lite")),
        ({"GOOGLE_API_KEY": "g"}, ("google", "gemini-2.5-flash-lite")),
        ({}, ("google", "gemini-2.5-flash-lite")),
    ],
)
def test_default_llm_choice(monkeypatch, env, expected):
    for var in ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY"):
        monkeypatch.delenv(var, raising=False)
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    seen = []
    monkeypatch.setattr(oraclet, "Oraclet", lambda *a: seen.append(a) or a)
    default_llm()
    provider, model, key = seen[0]
    assert (provider, model) == expected
    want_key = {"anthropic": env.get("ANTHROPIC_API_KEY"), "openai": env.get("OPENAI_API_KEY"),
                "google": env.get("GEMINI_API_KEY", env.get("GOOGLE_API_KEY", ""))}[provider]
    assert key == want_key


# ---------------------------------------------------------------- requests


def test_openai_request_shape(stub):
    o = client_for("openai", stub)
    assert o.call("hello") == "from openai"
    assert o.call("hello", "") == "from openai"
    assert o.call("hello", system_prompt="be brief", temperature=0.5, max_tokens=9) == "from openai"
    first, empty_system, full = (r["body"] for r in stub.requests)
    assert stub.requests[0]["path"] == "/v1/chat/completions"
    assert first == {"model": "gpt-test", "messages": [{"role": "user", "content": "hello"}],
                     "temperature": 0}
    assert empty_system == first
    assert full["messages"] == [{"role": "system", "content": "be brief"},
                                {"role": "user", "content": "hello"}]
    assert (full["temperature"], full["max_tokens"]) == (0.5, 9)


def test_openai_model_option_collides_and_sends_nothing(stub):
    o = client_for("openai", stub)
    with pytest.raises(TypeError, match="multiple values for keyword argument 'model'"):
        o.call("hello", model="other")
    assert stub.requests == []


def test_anthropic_request_shape(stub):
    o = client_for("anthropic", stub)
    assert o.call("hello") == "from anthropic"
    o.call("hello", system_prompt="sys", system="loses", max_tokens=100, model="override")
    plain, full = (r["body"] for r in stub.requests)
    assert stub.requests[0]["path"] == "/v1/messages"
    assert plain == {"model": "claude-test", "max_tokens": 4096,
                     "messages": [{"role": "user", "content": "hello"}], "temperature": 0}
    assert (full["system"], full["max_tokens"], full["model"]) == ("sys", 100, "override")


def test_google_request_shape(stub):
    o = client_for("google", stub)
    assert o.call("hello", system_prompt="sys", temperature=0.5) == "from google"
    req = stub.requests[0]
    assert req["path"].endswith("/models/gemini-test:generateContent")
    body = req["body"]
    assert body["contents"][0]["parts"][0]["text"] == "hello"
    assert body["generationConfig"]["temperature"] == 0.5
    assert body["systemInstruction"]["parts"][0]["text"] == "sys"


class FakeResponse:
    def __init__(self, text):
        self.text = text


class FakeModels:
    def __init__(self, text):
        self.text, self.calls = text, []

    def generate_content(self, **kw):
        self.calls.append(kw)
        return FakeResponse(self.text)


class FakeGoogle:
    def __init__(self, text):
        self.models = FakeModels(text)


def test_google_options_travel_inside_config_and_callers_dict_is_untouched():
    o = Oraclet("google", "g", "k")
    o.client = FakeGoogle("ok")
    opts = {"max_tokens": 5}
    assert o.call("p", **opts) == "ok"
    assert o.client.models.calls == [{"model": "g", "contents": "p",
                                      "config": {"max_tokens": 5, "temperature": 0}}]
    assert opts == {"max_tokens": 5}


@pytest.mark.parametrize("answer, ok", [(None, True), ("", True), (3, False)])
def test_answer_must_be_text_or_none(answer, ok):
    o = Oraclet("google", "g", "k")
    o.client = FakeGoogle(answer)
    if ok:
        assert o.call("p") == answer
    else:
        with pytest.raises(TypeError, match="str.*int"):
            o.call("p")


def test_unknown_provider_after_construction_sends_nothing():
    o = Oraclet("google", "g", "k")
    o.client = FakeGoogle("never")
    o.provider = "azure"
    assert o.call("p") is None
    assert o.client.models.calls == []


def test_call_argument_types():
    o = Oraclet("google", "g", "k")
    with pytest.raises(TypeError, match="Argument 'user_prompt' has incorrect type"):
        o.call(None)
    with pytest.raises(TypeError, match="Argument 'system_prompt' has incorrect type"):
        o.call("p", 5)


def test_subclass_can_override_call():
    class Canned(Oraclet):
        def call(self, user_prompt, system_prompt=None, **kw):
            return "canned"

    assert Canned("google", "g", "k").call("x") == "canned"


# ---------------------------------------------------------------- vendor SDKs load when first used

VENDORS = ("anthropic", "openai", "google.genai")


def fresh(code: str, **env) -> str:
    """Runs `code` in a new interpreter (keys from `env` only) and returns its output."""
    import os
    import subprocess
    import sys

    clean = {k: v for k, v in os.environ.items() if not k.endswith("_API_KEY")}
    out = subprocess.run([sys.executable, "-c", code], env={**clean, **env}, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


LOADED = "import sys; print(sorted(m for m in %r if m in sys.modules))" % (VENDORS,)


@pytest.mark.parametrize(
    "env, loaded",
    [
        ({}, "[]"),  # keyless: the client is built, and the SDK loaded, at the first request
        ({"ANTHROPIC_API_KEY": "k"}, "['anthropic']"),
        ({"OPENAI_API_KEY": "k"}, "['openai']"),
        ({"GEMINI_API_KEY": "k"}, "['google.genai']"),
    ],
)
def test_default_llm_loads_only_the_chosen_vendor(env, loaded):
    code = "import tavro.helpers.linkwell\n" + LOADED + "\nfrom tavro.helpers.oraclet import default_llm\n"
    code += "default_llm()\n" + LOADED
    assert fresh(code, **env).splitlines() == ["[]", loaded]


def test_vendor_names_resolve_lazily_and_stay_replaceable():
    code = """
import sys
from unittest import mock
from tavro.helpers import oraclet
assert {"OpenAI", "Anthropic", "genai", "Oraclet"} <= set(dir(oraclet))
assert not any(m in sys.modules for m in ("openai", "anthropic", "google.genai"))
import openai, anthropic
from google import genai
assert oraclet.OpenAI is openai.OpenAI and oraclet.Anthropic is anthropic.Anthropic and oraclet.genai is genai
from tavro.helpers.oraclet import OpenAI
with mock.patch.object(oraclet, "Anthropic", "fake"):
    assert oraclet.Anthropic == "fake"
assert oraclet.Anthropic is anthropic.Anthropic
oraclet.OpenAI = "mine"
assert oraclet.OpenAI == "mine"
try:
    oraclet.nothing
except AttributeError as e:
    print(e)
"""
    assert fresh(code) == "module 'tavro.helpers.oraclet' has no attribute 'nothing'"


@pytest.mark.parametrize("missing", VENDORS)
def test_import_fails_when_a_vendor_library_is_missing(missing):
    code = f"""
import sys
sys.modules[{missing!r}] = None  # as if not installed
try:
    import tavro.helpers.oraclet
except ImportError as e:
    cause = e if isinstance(e, ModuleNotFoundError) else e.__cause__
    print(type(cause).__name__, cause.name)
"""
    assert fresh(code) == f"ModuleNotFoundError {missing}"


def test_stub_generator_stands_in_for_the_vendor_sdks_of_the_table(tmp_path):
    """A build machine without the SDKs still gets the module's stub."""
    import os
    import pathlib
    import subprocess
    import sys

    hidden = tmp_path / "hidden"
    (hidden / "google").mkdir(parents=True)
    for init in (hidden / "google" / "__init__.py", hidden / "anthropic.py", hidden / "openai.py"):
        init.write_text("raise ImportError('not installed here')\n")
    built = pathlib.Path(oraclet.__file__).parent
    root = pathlib.Path(__file__).resolve().parents[1]
    out = tmp_path / "oraclet.pyi"
    env = {**os.environ, "PYTHONPATH": str(hidden)}
    run = subprocess.run([sys.executable, str(root / "cmake" / "stubgen.py"), "oraclet", str(built), str(out)],
                         env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert out.read_text() == (built / "oraclet.pyi").read_text()
