"""Upstream output description (scopelet)."""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
from collections import UserDict

import pytest
from helpers import ticking

from tavro.helpers import scopelet
from tavro.helpers.scopelet import build_scopelet

HEADER = "ACTUAL UPSTREAM OUTPUT at runtime:"


def write(path, content=b""):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return path


def fake_head(bindir, body):
    exe = bindir / "head"
    exe.write_text("#!/bin/sh\n" + body + "\n")
    exe.chmod(0o755)


# ---------------------------------------------------------------- arguments and plain values


def test_empty_map_and_header():
    assert build_scopelet({}) == HEADER
    assert build_scopelet({}, "CUSTOM") == "CUSTOM"
    assert build_scopelet(header="H:", data={"n": 1}) == "H:\n  n = 1"


@pytest.mark.parametrize(
    "data, header, message",
    [
        (UserDict(), HEADER, "Argument 'data' has incorrect type (expected dict, got UserDict)"),
        (type("D", (dict,), {})(), HEADER, "Argument 'data' has incorrect type (expected dict, got D)"),
        (None, HEADER, "Argument 'data' has incorrect type (expected dict, got NoneType)"),
        ({}, None, "Argument 'header' has incorrect type (expected str, got NoneType)"),
        ({}, b"H", "Argument 'header' has incorrect type (expected str, got bytes)"),
    ],
)
def test_argument_types(data, header, message):
    with pytest.raises(TypeError) as info:
        build_scopelet(data, header)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "value, shown",
    [
        ("plain", "'plain'"),
        ("it's", '"it\'s"'),
        ("nul\0byte", "'nul\\x00byte'"),
        (None, "None"),
        (3.5, "3.5"),
        ({"a": [1]}, "{'a': [1]}"),
        ([], "[]"),
        (("/", "/"), "('/', '/')"),  # a tuple is no list
        ([1, "/"], "[1, '/']"),
        ("x" * 200, "'" + "x" * 119),  # cut to exactly 120 characters, unmarked
    ],
)
def test_other_values(value, shown):
    assert build_scopelet({"k": value}) == f"{HEADER}\n  k = {shown}"


@pytest.mark.parametrize("bad", ["\ud800", "x\udfff", "\0", "/\0etc", "/tmp\0"])
def test_strings_that_cannot_be_file_names(tmp_path, bad):
    # No file can carry such a name, so the value is shown quoted, wherever it sits.
    d = tmp_path / "d"
    d.mkdir()
    f = write(tmp_path / "f.txt", "x\n")
    data = {"top": bad, "only": [bad], "dir_then_bad": [str(d), bad], "bad_then_file": [bad, str(f)]}
    lines = build_scopelet(data).split("\n")
    assert lines[1:] == [f"  {k} = {repr(v)[:120]}" for k, v in data.items()]
    # A file first still makes the list a list of files, whatever follows.
    assert build_scopelet({"k": [str(f), bad]}).endswith(f"list of 2 files, e.g. {[str(f), bad]!r}")


def test_keys_render_as_text():
    assert build_scopelet({7: 1, None: 2, ("a", 1): 3}) == f"{HEADER}\n  7 = 1\n  None = 2\n  ('a', 1) = 3"


# ---------------------------------------------------------------- files


def test_file_entry(tmp_path):
    f = write(tmp_path / "out.fa", ">s1\r\nMKV\r\n" + "".join(f"line{i}\n" for i in range(10)))
    assert build_scopelet({"seqs": str(f)}) == (
        f"{HEADER}\n  seqs = {str(f)!r}  [file, size: {f.stat().st_size} bytes]\n"
        "    first 5 lines:\n      >s1\nMKV\nline0\nline1\nline2"
    )


@pytest.mark.parametrize(
    "content, preview",
    [
        (b"", None),
        (b"\n \t\n", None),
        (b"\xff\xfe\x00binary\n", None),  # undecodable: size line only
        (b"  " + b"y" * 1000 + b"\n", "y" * 400),
        ("é" * 500, "é" * 400),  # characters, not bytes
    ],
)
def test_file_preview_edges(tmp_path, content, preview):
    f = write(tmp_path / "f", content)
    lines = build_scopelet({"f": str(f)}).split("\n")
    assert lines[1] == f"  f = {str(f)!r}  [file, size: {len(f.read_bytes())} bytes]"
    assert lines[2:] == ([] if preview is None else ["    first 5 lines:", "      " + preview])


def test_file_named_like_an_option(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "-n", "dash\n")
    write(tmp_path / "-", "stdin\n")
    out = build_scopelet({"a": "-n", "b": "-"})
    assert "first 5 lines:\n      dash" in out and "first 5 lines:\n      stdin" in out


def test_str_and_list_subclasses(tmp_path):
    f = write(tmp_path / "f.txt", "x\n")

    class S(str):
        pass

    class L(list):
        pass

    out = build_scopelet({"s": S(str(f)), "l": L([str(f)])})
    assert f"  s = {str(f)!r}  [file, size: 2 bytes]" in out
    assert f"  l = list of 1 files, e.g. [{str(f)!r}]" in out


# ---------------------------------------------------------------- lists


def test_list_of_files(tmp_path):
    files = [str(write(tmp_path / f"f{i}", "x")) for i in range(5)]
    assert build_scopelet({"k": files}) == f"{HEADER}\n  k = list of 5 files, e.g. {files[:3]!r}"
    mixed = [files[0], None, 3]
    assert build_scopelet({"k": mixed}) == f"{HEADER}\n  k = list of 3 files, e.g. {mixed!r}"


def test_list_of_directories(tmp_path):
    a, b = tmp_path / "a", tmp_path / "b"
    write(a / "x.txt", "ax\n")
    b.mkdir()
    assert build_scopelet({"dirs": [str(a), str(b)]}) == (
        f"{HEADER}\n  dirs = list of 2 directories:\n"
        f"  dirs[0] = {str(a)!r}  [directory, files: ['x.txt']]\n    'x.txt': ax\n"
        f"  dirs[1] = {str(b)!r}  [directory, files: []]"
    )


def test_list_directory_then_file(tmp_path):
    f = write(tmp_path / "f", "x")
    value = [str(tmp_path), str(f)]
    assert build_scopelet({"k": value}) == f"{HEADER}\n  k = {repr(value)[:120]}"


# ---------------------------------------------------------------- directories


def test_worked_example(tmp_path):
    out = tmp_path / "out"
    write(out / "a.txt", "hello\n")
    write(out / "b" / "c.txt", "")
    assert build_scopelet({"out": str(out)}) == (
        f"{HEADER}\n  out = {str(out)!r}  [directory, files: ['a.txt', 'b/c.txt']]\n    'a.txt': hello"
    )


def test_directory_keeps_first_30_of_sorted_full_paths(tmp_path):
    d = tmp_path / "d"
    for i in range(31):
        write(d / f"f{i:02d}", f"content {i}\n")
    write(d / "a" / "b", "nested\n")  # full path .../d/a/b sorts after .../d/a-b
    write(d / "a-b", "dash\n")
    lines = build_scopelet({"d": str(d)}).split("\n")
    expected = ["a-b", "a/b"] + [f"f{i:02d}" for i in range(28)]
    assert lines[1] == f"  d = {str(d)!r}  [directory, files: {expected!r}]"
    assert lines[2:5] == ["    'a-b': dash", "    'a/b': nested", "    'f00': content 0"]
    assert len(lines) == 2 + 30 and lines[-1] == "    'f27': content 27"


def test_directory_previews(tmp_path):
    d = tmp_path / "d"
    write(d / "many", "".join(f"l{i}\n" for i in range(9)))
    write(d / "long", "z" * 300)
    write(d / "bin", b"\x00\xff\xfe")
    write(d / "blank", "\n\n")
    lines = build_scopelet({"d": str(d)}).split("\n")
    assert lines[2:] == ["    'long': " + "z" * 200, "    'many': l0", "l1", "l2"]


def test_directory_entries_links_and_names(tmp_path):
    d = tmp_path / "d"
    write(d / "real.txt", "r\n")
    (d / "to_dir").symlink_to(tmp_path / "elsewhere", target_is_directory=True)
    write(tmp_path / "elsewhere" / "hidden.txt", "h\n")
    (d / "to_file").symlink_to(d / "real.txt")
    (d / "dangling").symlink_to(tmp_path / "missing")
    weird = os.fsdecode(b"bad\xffname")
    write(d / weird, "w\n")
    lines = build_scopelet({"d": str(d)}).split("\n")
    files = ["bad\udcffname", "dangling", "real.txt", "to_file"]
    assert lines[1] == f"  d = {str(d)!r}  [directory, files: {files!r}]"
    assert lines[2:] == ["    'bad\\udcffname': w", "    'real.txt': r", "    'to_file': r"]
    # a link to a directory given as the value itself is walked
    assert build_scopelet({"x": str(d / "to_dir")}).split("\n")[1].endswith("files: ['hidden.txt']]")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every directory")
def test_unreadable_directory_is_skipped(tmp_path):
    d = tmp_path / "d"
    write(d / "ok.txt", "ok\n")
    write(d / "locked" / "secret.txt", "s\n")
    (d / "locked").chmod(0)
    try:
        assert build_scopelet({"d": str(d)}).split("\n")[1:] == [
            f"  d = {str(d)!r}  [directory, files: ['ok.txt']]", "    'ok.txt': ok"
        ]
    finally:
        (d / "locked").chmod(0o755)


def test_describe_dir_appends_to_the_given_list(tmp_path):
    write(tmp_path / "f", "x\n")
    lines = ["keep"]
    assert scopelet._describe_dir("lbl", str(tmp_path), lines) is None
    assert lines == ["keep", f"  lbl = {str(tmp_path)!r}  [directory, files: ['f']]", "    'f': x"]
    missing = []
    scopelet._describe_dir(1, str(tmp_path / "nope"), missing)
    assert missing == [f"  1 = {str(tmp_path / 'nope')!r}  [directory, files: []]"]


def test_describe_dir_is_looked_up_at_call_time(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(scopelet, "_describe_dir", lambda label, d, lines: calls.append((label, d)))
    assert build_scopelet({"k": str(tmp_path)}) == HEADER
    assert calls == [("k", str(tmp_path))]


# ---------------------------------------------------------------- the head command


def test_head_missing_or_failing(tmp_path, monkeypatch, bindir):
    f = write(tmp_path / "d" / "f", "x\n")
    monkeypatch.setenv("PATH", str(bindir))  # no head anywhere
    assert build_scopelet({"d": str(f.parent), "f": str(f)}).split("\n")[1:] == [
        f"  d = {str(f.parent)!r}  [directory, files: ['f']]",
        f"  f = {str(f)!r}  [file, size: 2 bytes]",
    ]
    fake_head(bindir, 'echo "partial output"; exit 3')  # the exit status does not matter
    assert build_scopelet({"f": str(f)}).endswith("first 5 lines:\n      partial output")
    fake_head(bindir, "printf '\\377\\376'")
    assert build_scopelet({"f": str(f)}).count("\n") == 1


def test_head_arguments(tmp_path, bindir):
    fake_head(bindir, 'echo "$#|$1|$2|$3"; read line && echo "stdin: $line"')
    f = write(tmp_path / "d" / "f", "x\n")
    out = build_scopelet({"d": str(f.parent), "f": str(f)})
    assert f"    'f': 3|-n|3|{f}" in out
    assert f"first 5 lines:\n      3|-n|5|{f}" in out
    assert "stdin" not in out


@pytest.mark.parametrize(
    "writer, preview",
    [
        ("exec yes abcdefgh", ("abcdefgh\n" * 45)[:400]),
        # 2**20 is not a multiple of 3: the cap cuts a character, which is dropped
        ("exec {py} -c \"import sys; sys.stdout.buffer.write('\u20ac'.encode() * 500000)\"", "\u20ac" * 400),
    ],
    ids=["endless", "cut-character"],
)
def test_endless_output_is_cut_at_the_cap(tmp_path, bindir, writer, preview):
    pids = tmp_path / "pids"
    fake_head(bindir, f'sleep 30 & echo $! > "{pids}"; echo $$ >> "{pids}"; '
              + writer.format(py=sys.executable))
    f = write(tmp_path / "f", "x\n")
    start = time.monotonic()
    out = build_scopelet({"f": str(f)})
    assert time.monotonic() - start < 2  # well before the 3-second limit
    assert out.endswith("first 5 lines:\n      " + preview)
    # the head child and what it started are ended, not left to run
    for pid in map(int, pids.read_text().split()):
        deadline = time.monotonic() + 2
        while not ended(pid) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert ended(pid)


def ended(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(") ")[2].startswith("Z")  # a zombie awaiting its reaper
    except FileNotFoundError:
        return True


@pytest.mark.slow
def test_fifo_in_directory_is_cut_at_the_time_limit(tmp_path):
    d = tmp_path / "d"
    write(d / "a.txt", "before\n")
    os.mkfifo(d / "b.fifo")
    write(d / "c.txt", "after\n")
    with ticking() as ticks:
        start = time.monotonic()
        out = build_scopelet({"d": str(d)})
    elapsed = time.monotonic() - start
    assert 2.9 < elapsed < 5
    assert len(ticks) > 100  # the walk and the previews leave the GIL to other threads
    assert out.split("\n")[1:] == [
        f"  d = {str(d)!r}  [directory, files: ['a.txt', 'b.fifo', 'c.txt']]",
        "    'a.txt': before",
        "    'c.txt': after",
    ]


def test_ctrl_c_ends_a_hanging_preview(tmp_path):
    os.mkfifo(tmp_path / "pipe")
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        build_scopelet({"d": str(tmp_path)})
    timer.join()
    assert time.monotonic() - start < 1.5
