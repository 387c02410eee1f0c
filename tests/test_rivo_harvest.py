"""Output harvest of RIVO.run: slots, directory slots, extras, the stdout
fallback, the result map, symlinks that lead out of the sandbox, and outputs
published whole (never written through, never half there)."""

from __future__ import annotations

import os
import stat
import textwrap
from pathlib import Path

import pytest
from helpers import can_mount_tmpfs, run_script, tool

from tavro.helpers.rivo import RIVO


@pytest.fixture
def run_tool(fake_rivo, bindir, tmp_path):
    """Runs a shell-script tool (body) through the fake rivo and returns
    (result map, output dir)."""

    def go(body, outputs=None, inputs=None, template=None, name="tool", output_dir=None):
        exe = bindir / name
        exe.write_text("#!/bin/sh\nset -e\n" + textwrap.dedent(body))
        exe.chmod(0o755)
        out = Path(output_dir) if output_dir else tmp_path / "node"
        manifest = {"outputs": outputs or {}}
        if template is not None:
            manifest["args_template"] = template
        return RIVO().run(name, manifest, inputs or {}, str(out)), out

    return go


def tree(root: Path) -> dict[str, str]:
    return {str(p.relative_to(root)): p.read_text() for p in sorted(root.rglob("*")) if p.is_file()}


def test_file_slot_takes_the_slot_name(run_tool):
    res, out = run_tool("echo R > result.txt\necho L > log.txt\n", outputs={"result": {}})
    assert res == {"result": str(out / "result")}
    assert tree(out) == {"result": "R\n", "_extras/result.txt": "R\n", "_extras/log.txt": "L\n"}


def test_exact_name_is_not_an_extra(run_tool):
    res, out = run_tool("echo O > out\n", outputs={"out": {}})
    assert tree(out) == {"out": "O\n"}


@pytest.mark.parametrize("order", ["forward", "backward"])
def test_a_slot_prefers_its_own_name_then_name_order(run_tool, order):
    # The tool writes the files in both orders (the directory's own order
    # follows the file system's hashing, never what the harvest relies on).
    names = ["sorted.csi", "sorted", "out2", "out", "log.b", "log.a"]
    body = "".join(f"echo {n} > {n}\n" for n in (names if order == "forward" else names[::-1]))
    res, out = run_tool(body, outputs={"sorted": {}, "out": {}, "out2": {}, "log": {}})
    assert {s: (out / s).read_text() for s in res} == {
        "sorted": "sorted\n", "out": "out\n", "out2": "out2\n", "log": "log.a\n"}
    # Nothing the tool wrote is lost: what no slot took under its own name
    # is in the extras.
    assert sorted(os.listdir(out / "_extras")) == ["log.a", "log.b", "sorted.csi"]


def test_staged_inputs_are_never_outputs(run_tool, tmp_path):
    f = tmp_path / "a.fq"
    f.write_text("input")
    res, out = run_tool("touch a.fq\n", outputs={"a": {}}, inputs={"r": str(f)}, template="{r}")
    assert res == {"a": None}
    assert not out.exists() or tree(out) == {}


def test_glob_metacharacters_in_slot_names(run_tool):
    res, out = run_tool("echo x > 'o[1]x'\necho y > o1z\n", outputs={"o[1]": {}})
    assert (out / "o[1]").read_text() == "y\n"  # the slot name is a glob pattern


def test_metadata_is_kept(run_tool):
    res, out = run_tool("echo x > out\nchmod 640 out\ntouch -d @1000000 out\n", outputs={"out": {}})
    st = (out / "out").stat()
    assert stat.S_IMODE(st.st_mode) == 0o640 and st.st_mtime == 1_000_000


# ---------------------------------------------------------------- directories


def test_empty_directory_slot(run_tool):
    res, out = run_tool("true\n", outputs={"res": {"type": "dir"}})
    assert res == {"res": None}
    assert (out / "res").is_dir() and list((out / "res").iterdir()) == []


def test_nested_directory_slot(run_tool):
    body = """\
        mkdir -p res/a/b res/empty
        echo 1 > res/top.txt
        echo 2 > res/a/b/deep.txt
        touch -d @2000000 res/a/b/deep.txt
        """
    res, out = run_tool(body, outputs={"res": {"type": "dir"}, "n": {}})
    assert res == {"res": str(out / "res"), "n": None}
    assert tree(out) == {"res/top.txt": "1\n", "res/a/b/deep.txt": "2\n"}
    assert not (out / "res" / "empty").exists()
    assert (out / "res" / "a" / "b" / "deep.txt").stat().st_mtime == 2_000_000


def test_directory_written_under_another_name(run_tool):
    res, out = run_tool("rmdir res\nmkdir other\necho x > other/f\n", outputs={"res": {"type": "dir"}})
    assert res == {"res": str(out / "res")}
    assert tree(out) == {"res/f": "x\n"}  # not duplicated into the extras


def test_two_candidate_directories_give_nothing(run_tool):
    res, out = run_tool("rmdir res\nmkdir o1 o2\necho x > o1/f\n", outputs={"res": {"type": "dir"}})
    assert res == {"res": None}
    assert tree(out) == {"_extras/o1/f": "x\n"}


def test_extra_directories_are_copied_whole(run_tool):
    res, out = run_tool("mkdir -p logs/sub\necho a > logs/sub/a\nmkfifo logs/fifo\n", outputs={})
    assert res == {}
    assert tree(out) == {"_extras/logs/sub/a": "a\n"}


def test_extras_replace_an_earlier_delivery_whole(run_tool, tmp_path):
    out = tmp_path / "node"
    (out / "_extras" / "logs").mkdir(parents=True)
    (out / "_extras" / "logs" / "old").write_text("old")
    (out / "_extras" / "keep").write_text("other name")
    res, out = run_tool("mkdir logs\necho new > logs/new\n", output_dir=out)
    assert tree(out) == {"_extras/keep": "other name", "_extras/logs/new": "new\n"}


# ------------------------------------------------------------ stdout fallback


def test_stdout_only(run_tool):
    res, out = run_tool("echo hello\n", name="greeter")
    assert res == {"stdout": str(out / "stdout" / "greeter_stdout.txt")}
    assert (out / "stdout" / "greeter_stdout.txt").read_text() == "hello\n"


def test_blank_stdout_and_empty_slots(run_tool):
    res, out = run_tool("printf '  \\n\\t\\n'\n", outputs={"a": {}, "b": {"type": "dir"}})
    assert res == {"a": None, "b": None}


def test_stdout_captured_into_a_slot_prevents_the_fallback(run_tool):
    res, out = run_tool("echo data\n", outputs={"log": {}}, template="> {log}")
    assert res == {"log": str(out / "log")}
    assert not (out / "stdout").exists()


def test_stdout_fallback_only_when_everything_is_empty(run_tool):
    res, out = run_tool("echo data\necho x > a\n", outputs={"a": {}, "b": {}})
    assert res == {"a": str(out / "a"), "b": None}


@pytest.mark.parametrize("output_dir, prefix", [("rel/node", "rel/node/"), ("./rel//node/", "rel/node/")])
def test_paths_are_spelled_from_output_dir(run_tool, tmp_path, monkeypatch, output_dir, prefix):
    monkeypatch.chdir(tmp_path)
    res, out = run_tool("echo x > a\nmkdir -p d && echo y > d/f\n", outputs={"a": {}, "d": {"type": "dir"}},
                        output_dir=output_dir)
    assert res == {"a": prefix + "a", "d": prefix + "d"}
    assert (tmp_path / prefix / "d" / "f").read_text() == "y\n"


def test_harvest_failure_keeps_the_sandbox(run_tool, tmp_path, isolated_tmp):
    out = tmp_path / "node"
    (out / "out").mkdir(parents=True)  # a directory where the file goes
    with pytest.raises(IsADirectoryError):
        run_tool("echo x > out\n", outputs={"out": {}}, output_dir=out)
    (kept,) = (isolated_tmp / "tavro_sandboxes").iterdir()
    assert (kept / "out").read_text() == "x\n"


# ------------------------------------------------------------------ symlinks


def test_links_out_of_the_sandbox_are_never_followed(run_tool, tmp_path):
    secret_dir = tmp_path / "host"
    secret_dir.mkdir()
    secret = secret_dir / "passwd"
    secret.write_text("root:secret\n")
    body = f"""\
        ln -s '{secret}' out
        ln -s '{secret}' leak.txt
        ln -s '{secret_dir}' hostdir
        ln -s /nonexistent dangling
        rmdir res && ln -s '{secret_dir}' res
        mkdir logs && ln -s '{secret}' logs/pw && echo ok > logs/ok
        mkdir logs/in && ln -s ../ok logs/in/alias
        echo data > real.txt && ln -s real.txt alias.txt
        """
    res, out = run_tool(body, outputs={"out": {}, "res": {"type": "dir"}, "alias": {}})
    assert res == {"out": None, "res": None, "alias": str(out / "alias")}
    files = tree(out)
    assert "root:secret\n" not in files.values()
    assert files == {
        "alias": "data\n",
        "_extras/alias.txt": "data\n",
        "_extras/real.txt": "data\n",
        "_extras/logs/ok": "ok\n",
        "_extras/logs/in/alias": "ok\n",
    }


def test_links_inside_a_directory_slot(run_tool, tmp_path):
    secret = tmp_path / "secret"
    secret.write_text("secret")
    body = f"""\
        echo in > res/real
        ln -s real res/inside
        ln -s '{secret}' res/outside
        """
    res, out = run_tool(body, outputs={"res": {"type": "dir"}})
    assert tree(out) == {"res/real": "in\n", "res/inside": "in\n"}


def test_symlink_loop_in_extras_is_an_error_not_a_hang(run_tool, isolated_tmp):
    with pytest.raises(OSError):
        run_tool("mkdir d && ln -s .. d/up\n")


def test_project_files_are_never_a_slot_output(tmp_path, isolated_tmp, monkeypatch, fake_rivo, bindir):
    home = tmp_path / "vol" / ".rivo_home"
    home.mkdir(parents=True)
    (home / "rivo.toml").write_text("[tools]\n")
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    (bindir / "quiet").write_text("#!/bin/sh\ntrue\n")
    (bindir / "quiet").chmod(0o755)
    res = RIVO().run("quiet", {"outputs": {"rivo": {}, "r": {}}}, {}, str(tmp_path / "o"))
    assert res == {"rivo": None, "r": None}


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
