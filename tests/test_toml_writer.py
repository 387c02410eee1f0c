"""RIVO._write_toml: tomli_w when installed, else the built-in writer."""

from __future__ import annotations

import datetime as dt
import math
import os
import sys
import types

import pytest

from tavro.helpers.rivo import RIVO

try:
    import tomllib
except ModuleNotFoundError:  # Python < 3.11
    import tomli as tomllib


@pytest.fixture
def no_tomli_w(monkeypatch):
    monkeypatch.setitem(sys.modules, "tomli_w", None)


def write(path, data) -> str:
    RIVO._write_toml(str(path), data)
    return path.read_text(encoding="utf-8")


def leftovers(directory, keep):
    return sorted(p.name for p in directory.iterdir() if p.name not in keep)


# --------------------------------------------------------- exact built-in text


@pytest.mark.parametrize(
    "data, text",
    [
        ({}, ""),
        (
            {"project": {"name": "x"}, "tools": {"a": {"version": "1"}}},
            '[project]\nname = "x"\n\n[tools]\n\n[tools.a]\nversion = "1"\n\n',
        ),
        ({"a": 1, "b": "two"}, 'a = 1\nb = "two"\n\n'),
        ({"on": True, "off": False}, "on = true\noff = false\n\n"),
        ({"s": 'back\\slash "q"'}, 's = "back\\\\slash \\"q\\""\n\n'),
        ({"n": None}, 'n = "None"\n\n'),
        ({"t": (1, 2)}, 't = "(1, 2)"\n\n'),
        ({"l": [1, "a", [True]], "e": []}, 'l = [1, "a", [true]]\ne = []\n\n'),
        (
            {"f": [2.0, 1e16, 1e-05, -1.5, float("inf"), float("-inf")]},
            "f = [2.0, 1e+16, 1e-05, -1.5, inf, -inf]\n\n",
        ),
        # scalars first, then sub-tables, whatever the insertion order
        ({"t": {"x": 1}, "a": 2}, "a = 2\n\n[t]\nx = 1\n\n"),
        ({"big": 2**70, "neg": -3}, f"big = {2**70}\nneg = -3\n\n"),
    ],
    ids=["empty", "nested", "scalars", "bools", "escapes", "none", "tuple", "lists",
         "floats", "order", "ints"],
)
def test_builtin_writer_text(no_tomli_w, tmp_path, data, text):
    assert write(tmp_path / "f.toml", data) == text


def test_builtin_writer_nan(no_tomli_w, tmp_path):
    text = write(tmp_path / "f.toml", {"x": float("nan")})
    assert text == "x = nan\n\n"
    assert math.isnan(tomllib.loads(text)["x"])


# ------------------------------------------- built-in writer stays valid TOML


@pytest.mark.parametrize(
    "data",
    [
        {"tools": {"my.tool": {"version": "1"}, "two words": {}, "": {"k": 1}}},
        {"tools": {'qu"ote': {"path": "C:\\x"}, "ünï": {"a.b": {"c d": [1]}}}},
        {"text": "line1\nline2\r\n\ttab \x00 \x01 \x1f \x7f \b \f end"},
        {"key\nwith\x00ctl": "v", "a=b": "c", "#x": "y", "[t]": {"z": 1}},
        {"tools": [{"name": "a", "v": [1, {"deep": {"er": "x"}}]}, {}]},
        {"t": {"list": [{"a": 1}, {"b": {"c": None}}]}},
        {"ts": dt.datetime(2024, 5, 1, 12, 30, 5, 123456, tzinfo=dt.timezone.utc),
         "local": dt.datetime(1999, 12, 31, 23, 59),
         "offset": dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=-5, minutes=-30))),
         "day": dt.date(2024, 2, 29), "clock": dt.time(7, 8, 9, 10)},
        {"a": {"b": {"c": {"d": {}}}}, "a.b": {"c": 1}},
        {"floats": [0.0, -0.0, 1e300, 5e-324, 0.1]},
    ],
    ids=["dotted-keys", "quoted-keys", "control-chars", "odd-keys", "tables-in-lists",
         "nested-inline", "dates", "deep", "floats"],
)
def test_builtin_writer_round_trips(no_tomli_w, tmp_path, data):
    text = write(tmp_path / "f.toml", data)
    expected = _jsonish(data)
    assert tomllib.loads(text) == expected


def _jsonish(v):
    """What TOML can hold of `v`: None inside the data becomes the text 'None'."""
    if isinstance(v, dict):
        return {k: _jsonish(x) for k, x in v.items()}
    if isinstance(v, list):
        return [_jsonish(x) for x in v]
    return "None" if v is None else v


@pytest.mark.parametrize(
    "value, text",
    [
        # TOML has no offset times and no offsets with seconds: kept as text
        (dt.time(1, 2, tzinfo=dt.timezone.utc), "01:02:00+00:00"),
        (dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(seconds=30))),
         "2024-01-01 00:00:00+00:00:30"),
    ],
)
def test_builtin_writer_dates_toml_cannot_hold(no_tomli_w, tmp_path, value, text):
    assert tomllib.loads(write(tmp_path / "f.toml", {"v": value})) == {"v": text}


def test_builtin_writer_rejects_non_text_keys(no_tomli_w, tmp_path):
    path = tmp_path / "f.toml"
    path.write_text("old = 1\n")
    with pytest.raises(TypeError, match="Invalid mapping key 1"):
        RIVO._write_toml(str(path), {"t": {1: "x"}})
    assert path.read_text() == "old = 1\n"


def test_builtin_writer_cycle_raises(no_tomli_w, tmp_path):
    cyclic: list = []
    cyclic.append(cyclic)
    with pytest.raises(RecursionError):
        RIVO._write_toml(str(tmp_path / "f.toml"), {"x": cyclic})
    assert leftovers(tmp_path, set()) == []


# -------------------------------------------------------------- hypothesis

try:
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st
except ModuleNotFoundError:  # optional
    given = None

if given is not None:
    _offsets = st.integers(-(23 * 60 + 59), 23 * 60 + 59).map(
        lambda m: dt.timezone(dt.timedelta(minutes=m)))
    _scalars = st.one_of(
        st.booleans(),
        st.integers(-(2**63), 2**63 - 1),
        st.floats(allow_nan=False),
        st.text(),
        st.datetimes(timezones=st.none() | _offsets),
        st.dates(),
        st.times(),
    )
    _keys = st.text(max_size=6)
    _values = st.recursive(
        _scalars,
        lambda inner: st.lists(inner, max_size=4) | st.dictionaries(_keys, inner, max_size=4),
        max_leaves=25,
    )

    @settings(max_examples=60, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(st.dictionaries(_keys, _values, max_size=6))
    def test_builtin_writer_round_trips_anything(no_tomli_w, tmp_path, data):
        assert tomllib.loads(write(tmp_path / "h.toml", data)) == data
else:  # pragma: no cover

    @pytest.mark.skip(reason="hypothesis is not installed")
    def test_builtin_writer_round_trips_anything():
        pass


# ---------------------------------------------------------------- tomli_w


def test_tomli_w_is_used_when_installed(tmp_path):
    tomli_w = pytest.importorskip("tomli_w")
    data = {"tools": {"a": {"image_reference": "r", "list": [{"x": 1}]}}, "n": 3}
    assert write(tmp_path / "f.toml", data) == tomli_w.dumps(data)


def _fake_tomli_w(dump):
    mod = types.ModuleType("tomli_w")
    mod.dump = dump
    return mod


def test_tomli_w_looked_up_at_call_time(monkeypatch, tmp_path):
    seen = []

    def dump(data, fh):
        seen.append(data)
        fh.write(b"custom = 1\n")

    monkeypatch.setitem(sys.modules, "tomli_w", _fake_tomli_w(dump))
    data = {"a": 1}
    assert write(tmp_path / "f.toml", data) == "custom = 1\n"
    assert seen == [data]


def test_failing_writer_leaves_file_intact(monkeypatch, tmp_path):
    def dump(data, fh):
        fh.write(b"half = ")
        raise TypeError("Object of type 'NoneType' is not TOML serializable")

    monkeypatch.setitem(sys.modules, "tomli_w", _fake_tomli_w(dump))
    path = tmp_path / "rivo.toml"
    path.write_text("tools = 1\n")
    with pytest.raises(TypeError, match="not TOML serializable"):
        RIVO._write_toml(str(path), {"a": None})
    assert path.read_text() == "tools = 1\n"
    assert leftovers(tmp_path, {"rivo.toml"}) == []


def test_only_a_missing_tomli_w_selects_the_builtin_writer(monkeypatch, tmp_path):
    class Broken:
        def find_spec(self, name, path=None, target=None):
            if name == "tomli_w":
                raise ImportError("tomli_w is broken")
            return None

    monkeypatch.delitem(sys.modules, "tomli_w", raising=False)
    monkeypatch.setattr(sys, "meta_path", [Broken(), *sys.meta_path])
    with pytest.raises(ImportError, match="broken"):
        RIVO._write_toml(str(tmp_path / "f.toml"), {"a": 1})
    assert not (tmp_path / "f.toml").exists()


# ------------------------------------------------------- replacing the file


@pytest.mark.parametrize("builtin", [True, False], ids=["builtin", "tomli_w"])
def test_replaces_content_keeps_mode_and_follows_links(monkeypatch, tmp_path, builtin):
    if builtin:
        monkeypatch.setitem(sys.modules, "tomli_w", None)
    else:
        pytest.importorskip("tomli_w")
    real = tmp_path / "real.toml"
    real.write_text("x = 'a much longer previous content than the new one'\n" * 20)
    real.chmod(0o640)
    link = tmp_path / "link.toml"
    link.symlink_to(real.name)
    RIVO._write_toml(str(link), {"a": 1})
    assert link.is_symlink()
    assert tomllib.loads(real.read_text()) == {"a": 1}
    assert real.stat().st_mode & 0o777 == 0o640
    assert leftovers(tmp_path, {"real.toml", "link.toml"}) == []


def test_dangling_link_gets_its_target_written(no_tomli_w, tmp_path):
    (tmp_path / "sub").mkdir()
    link = tmp_path / "link.toml"
    link.symlink_to("sub/../sub/real.toml")  # relative to the link's folder, as open() reads it
    RIVO._write_toml(str(link), {"a": 1})
    assert link.is_symlink() and tomllib.loads((tmp_path / "sub" / "real.toml").read_text()) == {"a": 1}
    assert leftovers(tmp_path / "sub", {"real.toml"}) == []


def test_new_file_gets_default_mode(no_tomli_w, tmp_path):
    old = os.umask(0o022)
    try:
        RIVO._write_toml(str(tmp_path / "n.toml"), {"a": 1})
    finally:
        os.umask(old)
    assert (tmp_path / "n.toml").stat().st_mode & 0o777 == 0o644


def test_missing_directory_raises(no_tomli_w, tmp_path):
    with pytest.raises(FileNotFoundError):
        RIVO._write_toml(str(tmp_path / "nope" / "f.toml"), {"a": 1})


@pytest.mark.parametrize("builtin", [True, False])
@pytest.mark.parametrize(
    "path, data, message",
    [
        (b"/x", {}, "Argument 'path' has incorrect type (expected str, got bytes)"),
        ("/x", [], "Argument 'data' has incorrect type (expected dict, got list)"),
        ("/x", None, "Argument 'data' has incorrect type (expected dict, got NoneType)"),
    ],
)
def test_argument_types(monkeypatch, builtin, path, data, message):
    if builtin:
        monkeypatch.setitem(sys.modules, "tomli_w", None)
    with pytest.raises(TypeError) as info:
        RIVO._write_toml(path, data)
    assert str(info.value) == message


def test_callable_on_instance_and_class(no_tomli_w, tmp_path, monkeypatch):
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    RIVO()._write_toml(str(tmp_path / "a.toml"), {"k": "v"})
    assert tomllib.loads((tmp_path / "a.toml").read_text()) == {"k": "v"}
