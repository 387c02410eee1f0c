"""The sandbox of a run: a private folder for the sandboxes, each sandbox
open to the container's user, inputs that cannot be staged refused before
anything is copied, and staged names reaching the tool as single arguments."""

from __future__ import annotations

import os
import stat
from pathlib import Path

import pytest
from helpers import tool

from tavro.helpers.rivo import RIVO


# ------------------------------------------------------------ private sandboxes


def test_sandbox_folder_is_private_and_sandboxes_open(fake_rivo, bindir, tmp_path, isolated_tmp):
    tool(bindir, "perm", "stat -c '%a' . > out\n")
    res = RIVO().run("perm", {"outputs": {"out": {}}}, {}, str(tmp_path / "o"))
    root = isolated_tmp / "tavro_sandboxes"
    assert stat.S_IMODE(root.stat().st_mode) == 0o700
    assert Path(res["out"]).read_text() == "777\n"
    root.chmod(0o755)  # an older, open folder of ours is closed again
    RIVO().run("perm", {"outputs": {"out": {}}}, {}, str(tmp_path / "o"))
    assert stat.S_IMODE(root.stat().st_mode) == 0o700


@pytest.mark.parametrize("kind", ["symlink", "other_owner", "file"])
def test_a_sandbox_folder_not_ours_is_refused(fake_rivo, tmp_path, isolated_tmp, kind):
    root = isolated_tmp / "tavro_sandboxes"
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    if kind == "symlink":
        root.symlink_to(elsewhere)
        match = "symbolic link"
    elif kind == "file":
        root.write_text("")
        match = "not a directory"
    else:
        if os.geteuid() != 0:
            pytest.skip("needs root to give the folder to another user")
        root.mkdir(mode=0o700)
        os.chown(root, 65534, 65534)
        match = "belongs to user 65534"
    with pytest.raises(PermissionError, match=match):
        RIVO().run("t", {}, {}, str(tmp_path / "o"))
    assert list(elsewhere.iterdir()) == [] and fake_rivo.calls == []


EXCHANGE_LOOP = r"""
import ctypes, os, sys, time
parent, decoy = sys.argv[1:3]
libc = ctypes.CDLL(None, use_errno=True)
libc.renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
a, b = os.fsencode(os.path.join(parent, "tavro_sandboxes")), os.fsencode(decoy)
swapped, end = 0, time.monotonic() + float(sys.argv[3])
while time.monotonic() < end:  # RENAME_EXCHANGE, as fast as it goes
    if libc.renameat2(-100, a, -100, b, 2) == 0:
        swapped += 1
print(swapped)
"""


@pytest.mark.parametrize("mode", [0o777, 0o1777])
def test_another_user_cannot_swap_the_sandbox_folder(fake_rivo, bindir, tmp_path, monkeypatch, mode):
    """A temporary folder that another user may write: without the sticky
    bit it is refused before anything is made there; with it, that user's
    loop of exchanges with a link to their own folder never gets a sandbox
    (nor the inputs, nor a say in the output)."""
    if os.geteuid() != 0:
        pytest.skip("needs root to act as a second user")
    import shutil
    import subprocess
    import tempfile

    tool(bindir, "honest", "cat in.txt > out\n")
    base = Path(tempfile.mkdtemp(prefix="tavro-swap-"))  # reachable by the other user, unlike tmp_path
    try:
        base.chmod(0o755)
        shared, theirs = base / "shared", base / "theirs"
        shared.mkdir()
        shared.chmod(mode)
        theirs.mkdir()
        os.chown(theirs, 54321, 54321)
        decoy = shared / "decoy"
        decoy.symlink_to(theirs)
        os.lchown(decoy, 54321, 54321)
        monkeypatch.setenv("TMPDIR", str(shared))
        monkeypatch.setattr(tempfile, "tempdir", str(shared))
        (tmp_path / "in.txt").write_text("SECRET")
        system_python = shutil.which("python3", path="/usr/bin:/bin")  # one the other user can run
        if not system_python:
            pytest.skip("no /usr/bin/python3 for the other user")
        loop = subprocess.Popen([system_python, "-c", EXCHANGE_LOOP, str(shared), str(decoy), "3"],
                                user=54321, group=54321, stdout=subprocess.PIPE, text=True)
        try:
            outcomes = []
            for k in range(5):
                try:
                    res = RIVO().run("honest", {"outputs": {"out": {}}}, {"i": str(tmp_path / "in.txt")},
                                     str(tmp_path / f"o{k}"))
                    outcomes.append(Path(res["out"]).read_text())
                except PermissionError as e:
                    outcomes.append(str(e))
        finally:
            swapped = int(loop.communicate(timeout=30)[0])
        assert list(theirs.iterdir()) == []
        if mode == 0o777:
            assert all("can be written by every user and has no sticky bit" in o for o in outcomes), outcomes
            assert str(shared) in outcomes[0] and fake_rivo.calls == []
        else:
            assert outcomes == ["SECRET"] * 5 and swapped == 0
    finally:
        shutil.rmtree(base)


# ------------------------------------------------------- inputs and leftovers


def test_inputs_that_are_not_files_are_refused_before_copying(fake_rivo, tmp_path, isolated_tmp):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    good = tmp_path / "good.fq"
    good.write_text("x")
    for inputs in ({"a": str(good), "dev": "/dev/null"}, {"a": [str(good), str(fifo)]}):
        with pytest.raises(ValueError, match=r"cannot be staged: .* not a regular file or directory"):
            RIVO().run("t", {}, inputs, str(tmp_path / "o"))
    assert not (isolated_tmp / "tavro_sandboxes").exists()
    assert [p for p in isolated_tmp.iterdir()] == [] and fake_rivo.calls == []


# ------------------------------------------------------------ names as arguments

HOSTILE = ["my reads.fq", "it's.fq", "-o", "x > o", "{b}.fq", 'say "hi".fq', "back\\slash"]


def test_staged_names_reach_the_tool_unchanged(fake_rivo, bindir, tmp_path):
    tool(bindir, "args", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done\n")
    src = tmp_path / "in"
    src.mkdir()
    inputs = {}
    for i, name in enumerate(HOSTILE):
        (src / name).write_text(name)
        inputs[f"i{i}"] = str(src / name)
    inputs["b"] = "B"                    # a key that "{b}.fq" must not pick up
    inputs["pair"] = [str(src / HOSTILE[0]), str(src / HOSTILE[2])]
    inputs["k"] = "-k 15 '{x}'"          # scalars keep the shell splitting
    placeholders = " ".join(f"{{i{i}}}" for i in range(len(HOSTILE)))
    template = f'{placeholders} --in="{{i0}}" {{pair}} {{k}} {{b}} > {{out}}'
    res = RIVO().run("args", {"args_template": template, "outputs": {"out": {}}}, inputs, str(tmp_path / "o"))
    got = Path(res["out"]).read_text().splitlines()
    staged = ["my reads.fq", "it's.fq", "./-o", "x > o", "{b}.fq", 'say "hi".fq', "back\\slash"]
    # The list's names were staged again under their slot's prefix.
    assert got == staged + ["--in=my reads.fq", "pair_my reads.fq", "pair_-o", "-k", "15", "{x}", "B"]
    assert "o" not in res and sorted(res) == ["out"]


def test_positional_fallback_keeps_a_dash_name_a_file(fake_rivo, bindir, tmp_path):
    tool(bindir, "pos", "printf '%s\\n' \"$@\"\n")
    (tmp_path / "-v").write_text("x")
    res = RIVO().run("pos", {}, {"r": str(tmp_path / "-v")}, str(tmp_path / "o"))
    assert Path(res["stdout"]).read_text() == "./-v\n"


def test_leftovers_of_a_killed_host_are_reaped_by_the_next_run(fake_rivo, bindir, tmp_path, isolated_tmp):
    """A host SIGKILLed mid-run leaves its partial standard output, its
    temporary rivo project and (killed while publishing) a temporary in the
    node's folder. The next run on the same folders removes those, keeps the
    dead run's sandbox for inspection, and leaves a live run's files alone."""
    import signal
    import subprocess
    import sys
    import time

    tool(bindir, "chatty", 'echo partial; [ "$1" = wait ] && exec sleep 60; echo done\n')
    out = tmp_path / "o"
    out.mkdir()
    planted = out / ".res.tmp-0123456789ab"  # what a harvest killed mid-publish leaves
    planted.write_text("half")
    host = """
import sys
from tavro.helpers.rivo import RIVO
RIVO().run("chatty", {"args_template": "{w} > {res}", "outputs": {"res": {}}}, {"w": "wait"}, sys.argv[1])
"""
    root = isolated_tmp / "tavro_sandboxes"
    seen: set = set()

    def start(node):
        """A host running the waiting tool, and its standard output file once the tool printed."""
        p = subprocess.Popen([sys.executable, "-c", host, str(node)])
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            new = {f for f in root.glob("*.stdout") if f.stat().st_size} - seen if root.exists() else set()
            if new:
                seen.update(new)
                return p, new.pop()
            time.sleep(0.05)
        p.kill()
        raise AssertionError("the tool never printed")

    dead, dead_stdout = start(out)
    dead.send_signal(signal.SIGKILL)  # its tool gets the parent-death signal
    dead.wait()
    live, live_stdout = start(tmp_path / "live")
    try:
        # Starting, the live run removed the dead one's output file and project.
        assert len(list(isolated_tmp.glob("rivo_*"))) == 1 and not dead_stdout.exists() and planted.exists()
        res = RIVO().run("chatty", {"args_template": "> {res}", "outputs": {"res": {}}}, {}, str(out))
        assert Path(res["res"]).read_text() == "partial\ndone\n"
        assert not planted.exists()  # no harvest into the folder was alive
        assert Path(str(dead_stdout)[:-len(".stdout")]).is_dir()  # kept for inspection
        assert live_stdout.exists() and len(list(isolated_tmp.glob("rivo_*"))) == 1  # the live run's
    finally:
        live.kill()
        live.wait()
