"""Standard output of a tool run: written by the tool into its file byte for byte with
flat memory, bounded where it is kept for logs and errors, text for _run
but exact bytes in files, started afresh by a retry, and a full disk on the
way ends the tool."""

from __future__ import annotations

import subprocess
from pathlib import Path

import pytest
from helpers import can_mount_tmpfs, run_script, tool

from tavro.helpers.rivo import RIVO


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


# ------------------------------------------- the slot file as standard output


@pytest.mark.parametrize("case", ["slot", "fallback", "blank", "empty", "failed"])
def test_large_binary_output_reaches_its_file_exactly(fake_rivo, bindir, tmp_path, case):
    """Output larger than the kept view (2 x 64 KiB), written by the tool
    straight into its file: byte-exact in a slot and in the fallback, no
    fallback for white space alone, an empty output leaves the tool's own
    file in the slot, and a failure quotes the file's head and tail."""
    import random

    rng = random.Random(7)
    payload = {"blank": b" \n\t" * 100_000, "empty": b""}.get(case, rng.randbytes(300_000) + b"TAIL")
    (tmp_path / "payload").write_bytes(payload)
    own = "printf mine > res; " if case == "empty" else ""
    tool(bindir, "bin", f"{own}cat {tmp_path / 'payload'}; exit {3 if case == 'failed' else 0}\n")
    template = "> {res}" if case in ("slot", "empty", "failed") else ""
    out = tmp_path / "o"
    manifest = {"args_template": template, "outputs": {"res": {}}}
    if case == "failed":
        with pytest.raises(RuntimeError) as info:
            RIVO().run("bin", manifest, {}, str(out))
        text = str(info.value)
        assert "bytes omitted ...]" in text and text.split("\nSTDERR:")[0].endswith("TAIL")
        assert len(text) < 200_000
        return
    res = RIVO().run("bin", manifest, {}, str(out))
    if case == "slot":
        assert res == {"res": str(out / "res")} and (out / "res").read_bytes() == payload
    elif case == "fallback":
        fallback = out / "stdout" / "bin_stdout.txt"
        assert res == {"res": None, "stdout": str(fallback)} and fallback.read_bytes() == payload
    elif case == "empty":
        assert (out / "res").read_bytes() == b"mine"
    else:
        assert res == {"res": None}


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
