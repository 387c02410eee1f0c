"""RIVO.run at real scale and with hostile-but-plausible inputs: streamed
standard output, bounded captures, outputs published whole, names kept as
single arguments, the private sandbox folder and inputs that cannot be
staged."""

from __future__ import annotations

import json
import os
import shutil
import stat
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tavro.helpers.rivo import RIVO


def tool(bindir: Path, name: str, body: str) -> Path:
    p = bindir / name
    p.write_text("#!/bin/sh\n" + textwrap.dedent(body))
    p.chmod(0o755)
    return p


def run_script(script: str, env: dict | None = None, prefix: list[str] | None = None) -> dict:
    """Runs Python code in a fresh interpreter; it prints one JSON line."""
    proc = subprocess.run(
        [*(prefix or []), sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True, text=True, env=env or dict(os.environ), timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ------------------------------------------------------------ flat memory

GIB = 1 << 30


def test_gigabytes_of_output_keep_memory_flat(fake_rivo, bindir, tmp_path, isolated_tmp):
    """1 GiB to a slot through "> {out}" and 2 GiB on stderr, then a failing
    run with 2 GiB of stderr: peak memory of the host stays small, the slot
    file is exact, log record and error text are bounded."""
    tool(bindir, "flood", """\
        head -c "$1" /dev/zero
        head -c "$2" /dev/zero >&2
        printf END
        exit "$3"
        """)
    script = f"""
        import json, logging, resource
        from tavro.helpers.rivo import RIVO
        records = []
        class Keep(logging.Handler):
            def emit(self, r): records.append(len(r.getMessage()))
        logging.getLogger("tavro.helpers.rivo").addHandler(Keep())
        logging.getLogger("tavro.helpers.rivo").setLevel(logging.WARNING)
        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        manifest = {{"args_template": "{{n}} {{e}} {{rc}} > {{out}}", "outputs": {{"out": {{}}}}}}
        res = RIVO().run("flood", manifest, {{"n": {GIB}, "e": {2 * GIB}, "rc": 0}}, {str(tmp_path / "o")!r})
        ok_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        path = res["out"]
        size = __import__("os").path.getsize(path)
        with open(path, "rb") as fh:
            fh.seek(size - 8)
            tail = fh.read()
        try:
            RIVO().run("flood", manifest, {{"n": 0, "e": {2 * GIB}, "rc": 3}}, {str(tmp_path / "o2")!r})
            err = ""
        except RuntimeError as e:
            err = str(e)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(json.dumps({{"base": base, "ok_peak": ok_peak, "peak": peak, "size": size,
                           "tail": tail.decode("latin-1"), "records": records, "err": len(err),
                           "marker": "bytes omitted ...]" in err}}))
        """
    r = run_script(script)
    assert r["size"] == GIB + 3 and r["tail"] == "\0" * 5 + "END"
    assert (r["peak"] - r["base"]) < 64 * 1024, r  # KiB: growth under 64 MiB
    assert r["records"] and max(r["records"]) < 200_000
    assert r["marker"] and 0 < r["err"] < 300_000
    assert not list((isolated_tmp / "tavro_sandboxes").glob("*.stdout"))


# --------------------------------------------------- text mode vs exact bytes


def test_run_text_is_translated_but_files_keep_the_bytes(fake_rivo, bindir, tmp_path):
    tool(bindir, "crlf", "printf 'a\\r\\nb\\rc\\n'\n")
    assert RIVO()._run(["exec", "crlf"]).stdout == "a\nb\nc\n"
    res = RIVO().run("crlf", {"args_template": "> {out}", "outputs": {"out": {}}}, {}, str(tmp_path / "a"))
    assert Path(res["out"]).read_bytes() == b"a\r\nb\rc\n"
    res = RIVO().run("crlf", {}, {}, str(tmp_path / "b"))
    assert Path(res["stdout"]).read_bytes() == b"a\r\nb\rc\n"
    fake_rivo.behave("import sys; sys.stderr.write('x\\r\\ny'); raise SystemExit(2)")
    with pytest.raises(RuntimeError) as info:
        RIVO()._run(["exec", "crlf"])
    assert str(info.value).endswith("STDERR: x\ny")


def test_a_replaced_run_still_has_its_text_written(fake_rivo, tmp_path):
    class Texty(RIVO):
        def _run(self, cmd, **kw):
            return subprocess.CompletedProcess(cmd, 0, "caf\u00e9\n", "")

    res = Texty().run("t", {"args_template": "> {out}", "outputs": {"out": {}}}, {}, str(tmp_path / "o"))
    assert Path(res["out"]).read_bytes() == "caf\u00e9\n".encode()


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


# ------------------------------------------------------- published whole


@pytest.mark.parametrize("where", ["out", "_extras/note", "stdout/w_stdout.txt"])
@pytest.mark.parametrize("what", ["symlink", "fifo"])
def test_final_names_are_replaced_never_written_through(fake_rivo, bindir, tmp_path, where, what):
    tool(bindir, "w", "echo new > out\necho n > note\n")
    out = tmp_path / "node"
    target = out / where
    target.parent.mkdir(parents=True)
    victim = tmp_path / "victim"
    victim.write_text("precious")
    if what == "symlink":
        target.symlink_to(victim)
    else:
        os.mkfifo(target)
    manifest = {"outputs": {"out": {}}} if where != "stdout/w_stdout.txt" else {}
    if not manifest:
        tool(bindir, "w", "echo printed\n")
    RIVO().run("w", manifest, {}, str(out))
    assert victim.read_text() == "precious"
    assert target.is_file() and not target.is_symlink()
    assert not [p for p in out.rglob(".*tmp-*")]


@pytest.mark.skipif(
    "libubsan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer runtime probes memory through a pipe, which fails once descriptors run out",
)
def test_deep_output_beyond_the_descriptor_limit_raises(fake_rivo, bindir, tmp_path):
    tool(bindir, "deep", "mkdir -p d/$(printf 'a/%.0s' $(seq 120)) && echo x > d/$(printf 'a/%.0s' $(seq 120))f\n")
    script = f"""
        import json, resource
        from tavro.helpers.rivo import RIVO
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        try:
            res = RIVO().run("deep", {{"outputs": {{"d": {{"type": "dir"}}}}}}, {{}}, {str(tmp_path / "o")!r})
            print(json.dumps({{"result": res}}))
        except OSError as e:
            print(json.dumps({{"errno": e.errno}}))
        """
    r = run_script(script)
    assert r == {"errno": 24}  # EMFILE, never a None slot
    assert not (tmp_path / "o" / "d").exists()


def can_mount_tmpfs() -> bool:
    if not shutil.which("unshare"):
        return False
    probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=64k tmpfs /mnt"],
                           capture_output=True)
    return probe.returncode == 0


@pytest.mark.skipif(not can_mount_tmpfs(), reason="no private mount namespace with tmpfs here")
@pytest.mark.parametrize("slot", ["file", "dir", "stdout"])
def test_a_full_disk_half_way_leaves_no_partial_output(fake_rivo, bindir, tmp_path, slot):
    """The node's output folder is a 1 MiB tmpfs in a private mount
    namespace; the tool produces 1.5 MiB. The final name keeps its old
    content and no temporary is left."""
    tool(bindir, "big", """\
        mkdir -p d
        for i in 1 2 3; do head -c 500000 /dev/urandom > d/part$i; done
        head -c 1500000 /dev/urandom > out
        [ "$1" = stdout ] && cat out
        true
        """)
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    name = {"file": "out", "dir": "d", "stdout": "res"}[slot]
    outputs = {"out": {}} if slot == "file" else {"d": {"type": "dir"}} if slot == "dir" else {"res": {}}
    template = "{how} > {res}" if slot == "stdout" else "{how}"
    script = f"""
        import json, os
        from pathlib import Path
        from tavro.helpers.rivo import RIVO
        out = Path({str(mnt)!r}) / "node"
        out.mkdir()
        old = out / {name!r}
        if {slot!r} == "dir":
            old.mkdir(); (old / "old").write_text("old")
        else:
            old.write_text("old")
        try:
            RIVO().run("big", {{"args_template": {template!r}, "outputs": {outputs!r}}},
                       {{"how": {slot!r}}}, str(out))
            err = None
        except OSError as e:
            err = e.errno
        listing = sorted(p.name for p in out.iterdir())
        kept = sorted(p.name for p in old.iterdir()) if old.is_dir() else old.read_text()
        print(json.dumps({{"err": err, "listing": listing, "kept": kept}}))
        """
    r = run_script(script, prefix=["unshare", "-m", "sh", "-c",
                                   f"mount -t tmpfs -o size=1m tmpfs '{mnt}' && exec \"$0\" \"$@\""])
    assert r["err"] == 28  # ENOSPC
    assert r["listing"] == [name]
    assert r["kept"] == (["old"] if slot == "dir" else "old")


def test_a_retried_run_streams_afresh(fake_rivo, bindir, tmp_path):
    tool(bindir, "picky", """\
        echo "attempt with $*"
        [ "$1" = --good ] || exit 1
        """)

    class Asks(RIVO):
        def _infer_args(self, tool_name, manifest, staged):
            return ["--good"]

    (tmp_path / "a.fq").write_text("x")
    res = Asks().run("picky", {}, {"r": str(tmp_path / "a.fq")}, str(tmp_path / "o"))
    assert Path(res["stdout"]).read_text() == "attempt with --good\n"


@pytest.mark.skipif(not can_mount_tmpfs(), reason="no private mount namespace with tmpfs here")
def test_streamed_output_on_a_full_disk_raises_and_ends_the_tool(fake_rivo, bindir, tmp_path):
    """The temporary directory (sandboxes and streamed output) is a 1 MiB
    tmpfs; the tool prints 4 MiB into its slot and would then run on."""
    tool(bindir, "chatty", "head -c 4000000 /dev/zero; sleep 30\n")
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    script = f"""
        import json, os, time, tempfile
        tempfile.tempdir = None
        os.environ["TMPDIR"] = {str(mnt)!r}
        from tavro.helpers.rivo import RIVO
        t0 = time.monotonic()
        try:
            RIVO().run("chatty", {{"args_template": "> {{out}}", "outputs": {{"out": {{}}}}}},
                       {{}}, {str(tmp_path / "o")!r})
            err = None
        except OSError as e:
            err = [e.errno, os.path.basename(e.filename or "")]
        left = os.listdir(os.path.join({str(mnt)!r}, "tavro_sandboxes"))
        print(json.dumps({{"err": err, "seconds": time.monotonic() - t0, "left": left}}))
        """
    r = run_script(script, prefix=["unshare", "-m", "sh", "-c",
                                   f"mount -t tmpfs -o size=1m tmpfs '{mnt}' && exec \"$0\" \"$@\""])
    assert r["err"][0] == 28 and r["err"][1].endswith(".stdout")
    assert r["seconds"] < 20  # the tool was ended, not waited for
    assert [n for n in r["left"] if n.endswith(".stdout")] == []
