"""The run cache and the provenance journal of RIVO.run, with the local rivo
and real processes: a small counting tool on the host (RIVO_BACKEND=local),
real bioinformatics tools for the pipeline, the private Docker daemon for
images under one tag."""

from __future__ import annotations

import fcntl
import hashlib
import json
import logging
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from helpers import manifest, needs_local_rivo

from tavro.helpers.rivo import RIVO

pytestmark = needs_local_rivo("local rivo not built (toml++/CLI11 missing)")

LOGGER = "tavro.helpers.rivo"

# join A B OUT: one line per run in $COUNTER (outside the sandbox), then A
# and B joined into OUT and a log beside it; with HOLD set it waits for that
# file first, with FAIL it exits with that status after writing everything.
JOIN_TOOL = """#!/bin/sh
echo "$$" >> "$COUNTER"
if [ -n "$HOLD" ]; then
  touch "$HOLD.started"
  while [ ! -e "$HOLD" ]; do sleep 0.05; done
fi
cat "$1" "$2" > "$3"
echo "joined $1 and $2" > run.log
exit "${FAIL:-0}"
"""
JOIN = {"entrypoint": "join_count", "args_template": "{r1} {r2} {joined}",
        "outputs": {"joined": {"type": "txt"}}}

CHILD = """
import json, logging, sys
logging.basicConfig(level=logging.INFO, stream=sys.stderr)
from tavro.helpers.rivo import RIVO
cache, man, inputs, out = sys.argv[1:5]
print(json.dumps(RIVO(run_cache=cache).run("join_count", json.loads(man), json.loads(inputs), out)))
"""


@pytest.fixture
def tool(local_rivo_path, bindir, tmp_path, monkeypatch, isolated_tmp):
    """The join tool on PATH, run on the host; its two inputs; the counter."""
    exe = bindir / "join_count"
    exe.write_text(JOIN_TOOL)
    exe.chmod(0o755)
    monkeypatch.setenv("RIVO_BACKEND", "local")
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    monkeypatch.delenv("TAVRO_RUN_CACHE", raising=False)
    monkeypatch.setenv("COUNTER", str(tmp_path / "counter"))
    (tmp_path / "in").mkdir()
    a, b = tmp_path / "in" / "a.txt", tmp_path / "in" / "b.txt"
    a.write_text("AAAA\n")
    b.write_text("BBBB\n")
    return {"r1": str(a), "r2": str(b)}


def runs(tmp_path: Path) -> int:
    counter = tmp_path / "counter"
    return len(counter.read_text().split()) if counter.exists() else 0


def entries(cache: Path) -> list[Path]:
    d = cache / "entries"
    return sorted(p for p in d.iterdir() if not p.name.startswith(".")) if d.exists() else []


def journal(cache: Path) -> list[dict]:
    return [json.loads(line) for line in (cache / "provenance.jsonl").read_text().splitlines()]


def sha256(path) -> str:
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def hashed(caplog) -> dict:
    """File -> bytes read for a key, from the debug records of the last call."""
    out = {}
    for r in caplog.records:
        if r.msg.startswith("Hashed %s"):
            out[os.path.basename(r.args[0])] = r.args[1]
    return out


def start_child(tmp_path, cache, inputs, out, **env):
    err = open(tmp_path / f"{Path(out).name}.err", "w+")
    proc = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(cache), json.dumps(JOIN), json.dumps(inputs), str(out)],
        stdout=subprocess.PIPE, stderr=err, text=True, env=dict(os.environ, **env))
    return proc, err


def wait_for(pred, seconds=30.0):
    deadline = time.monotonic() + seconds
    while not pred():
        assert time.monotonic() < deadline, "timed out waiting"
        time.sleep(0.05)


def test_two_processes_same_run_at_once_run_the_tool_once(tool, tmp_path):
    cache, hold = tmp_path / "cache", tmp_path / "hold"
    first, err1 = start_child(tmp_path, cache, tool, tmp_path / "out1", HOLD=str(hold))
    wait_for(lambda: Path(f"{hold}.started").exists())
    second, err2 = start_child(tmp_path, cache, tool, tmp_path / "out2", HOLD=str(hold))
    # The second waits for the first's flight, and says so.
    wait_for(lambda: "Waiting for another run of join_count" in Path(err2.name).read_text())
    hold.touch()
    out1, _ = first.communicate(timeout=60)
    out2, _ = second.communicate(timeout=60)
    assert first.returncode == second.returncode == 0, Path(err2.name).read_text()
    res1, res2 = json.loads(out1), json.loads(out2)
    assert res1 == {"joined": str(tmp_path / "out1" / "joined")}
    assert res2 == {"joined": str(tmp_path / "out2" / "joined")}
    assert Path(res2["joined"]).read_text() == Path(res1["joined"]).read_text() == "AAAA\nBBBB\n"
    assert (tmp_path / "out2" / "_extras" / "run.log").read_text() == (
        tmp_path / "out1" / "_extras" / "run.log").read_text()
    assert runs(tmp_path) == 1 and len(entries(cache)) == 1
    assert [r["status"] for r in journal(cache)] == ["completed", "restored"]
    err1.close()
    err2.close()


def test_killed_run_leaves_no_entry_and_frees_the_key(tool, tmp_path):
    cache, hold = tmp_path / "cache", tmp_path / "hold"
    child, err = start_child(tmp_path, cache, tool, tmp_path / "out1", HOLD=str(hold))
    wait_for(lambda: Path(f"{hold}.started").exists())
    tool_pid = int((tmp_path / "counter").read_text().split()[0])
    child.send_signal(signal.SIGKILL)
    child.wait(timeout=30)
    err.close()
    # rivo and the tool end with their host; should one linger, it goes here.
    try:
        os.killpg(os.getpgid(tool_pid), signal.SIGKILL)
    except ProcessLookupError:
        pass
    assert entries(cache) == [] and not list((cache / "entries").glob(".tmp-*"))
    for lock in (cache / "locks").iterdir():
        with open(lock) as fh:
            fcntl.flock(fh, fcntl.LOCK_EX | fcntl.LOCK_NB)  # free: raises if still held
    res = RIVO(run_cache=str(cache)).run("join_count", JOIN, tool, str(tmp_path / "out2"))
    assert Path(res["joined"]).read_text() == "AAAA\nBBBB\n"
    assert runs(tmp_path) == 2 and len(entries(cache)) == 1


def test_failed_run_commits_nothing_and_is_recorded(tool, tmp_path, monkeypatch):
    cache = tmp_path / "cache"
    monkeypatch.setenv("FAIL", "1")
    r = RIVO(run_cache=str(cache))
    with pytest.raises(RuntimeError, match=r"failed \(exit 1\)"):
        r.run("join_count", JOIN, tool, str(tmp_path / "out"))
    assert (tmp_path / "out" / "joined").exists() is False and entries(cache) == []
    (rec,) = journal(cache)
    assert rec["status"] == "failed" and rec["exit_status"] == 1 and "exit 1" in rec["error"]
    monkeypatch.delenv("FAIL")
    r.run("join_count", JOIN, tool, str(tmp_path / "out"))
    assert runs(tmp_path) == 2 and len(entries(cache)) == 1


def test_input_changed_while_the_tool_runs_is_not_committed(tool, tmp_path):
    cache, hold = tmp_path / "cache", tmp_path / "hold"
    child, err = start_child(tmp_path, cache, tool, tmp_path / "out1", HOLD=str(hold))
    wait_for(lambda: Path(f"{hold}.started").exists())
    Path(tool["r1"]).write_text("AAAZ\n")  # another writer, while the tool works on the old copy
    hold.touch()
    out, _ = child.communicate(timeout=60)
    err.close()
    assert child.returncode == 0 and json.loads(out)["joined"]
    assert "Not committing join_count to the run cache" in Path(err.name).read_text()
    assert entries(cache) == []


FULL_DISK = """
import json, logging, os, subprocess, sys
logging.basicConfig(level=logging.INFO, stream=sys.stderr)
cache, man, inputs, out = sys.argv[1:5]
subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", cache], check=True)
from tavro.helpers.rivo import RIVO
res = RIVO(run_cache=cache).run("join_count", json.loads(man), json.loads(inputs), out)
print(json.dumps({"result": res, "entries": os.listdir(os.path.join(cache, "entries"))}))
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting a small tmpfs needs root")
def test_full_disk_commits_nothing_and_the_run_still_delivers(tool, tmp_path):
    Path(tool["r1"]).write_bytes(b"A" * (1 << 20))  # more than the cache's 256 KiB
    cache = tmp_path / "cache"
    cache.mkdir()
    # A mount namespace of its own: the small file system goes with the child.
    proc = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, "-c", FULL_DISK,
                           str(cache), json.dumps(JOIN), json.dumps(tool), str(tmp_path / "out")],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout)
    assert got["result"] == {"joined": str(tmp_path / "out" / "joined")} and got["entries"] == []
    assert Path(got["result"]["joined"]).stat().st_size == (1 << 20) + 5
    assert "Could not commit join_count to the run cache" in proc.stderr


@pytest.mark.parametrize("change, reason", [
    ("swap", "inputs.r1: content and name changed"),
    ("same_size_edit", "inputs.r1: content changed"),
    ("scalar", "inputs.n: 1 -> 2"),
])
def test_what_changes_the_key(tool, tmp_path, caplog, change, reason):
    r = RIVO(run_cache=str(tmp_path / "cache"))
    m = dict(JOIN, args_template="{r1} {r2} {joined} {n}")
    r.run("join_count", m, dict(tool, n=1), str(tmp_path / "o1"))
    inputs = dict(tool, n=1)
    if change == "swap":
        inputs = dict(r1=tool["r2"], r2=tool["r1"], n=1)
    elif change == "same_size_edit":
        Path(tool["r1"]).write_text("AAAC\n")
    else:
        inputs["n"] = 2
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    r.run("join_count", m, inputs, str(tmp_path / "o2"))
    assert runs(tmp_path) == 2
    missed = [rec.getMessage() for rec in caplog.records if rec.msg.startswith("Run cache miss")]
    assert len(missed) == 1 and reason in missed[0], missed


def test_touch_hits_and_unchanged_inputs_are_not_read_again(tool, tmp_path, caplog):
    time.sleep(1.1)  # inputs older than the memo's margin for a racy change
    r = RIVO(run_cache=str(tmp_path / "cache"))
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    r.run("join_count", JOIN, tool, str(tmp_path / "o1"))
    assert hashed(caplog) == {"a.txt": 5, "b.txt": 5}
    caplog.clear()
    r.run("join_count", JOIN, tool, str(tmp_path / "o2"))
    assert hashed(caplog) == {}  # the memo knew both
    os.utime(tool["r1"])
    caplog.clear()
    res = r.run("join_count", JOIN, tool, str(tmp_path / "o3"))
    assert hashed(caplog) == {"a.txt": 5}  # read once, and the run still hits
    assert runs(tmp_path) == 1 and Path(res["joined"]).read_text() == "AAAA\nBBBB\n"


def test_restored_outputs_are_copies_and_a_damaged_entry_is_recomputed(tool, tmp_path, caplog):
    cache = tmp_path / "cache"
    r = RIVO(run_cache=str(cache))
    r.run("join_count", JOIN, tool, str(tmp_path / "o1"))
    restored = Path(r.run("join_count", JOIN, tool, str(tmp_path / "o2"))["joined"])
    restored.write_text("edited after the restore\n")  # never reaches the entry
    again = Path(r.run("join_count", JOIN, tool, str(tmp_path / "o3"))["joined"])
    assert again.read_text() == "AAAA\nBBBB\n" and runs(tmp_path) == 1
    assert os.stat(again).st_ino != os.stat(restored).st_ino

    (entry,) = entries(cache)
    (entry / "files" / "joined").write_text("XXXX\nBBBB\n")  # same size, other bytes
    caplog.set_level(logging.WARNING, logger=LOGGER)
    fresh = Path(r.run("join_count", JOIN, tool, str(tmp_path / "o4"))["joined"])
    assert fresh.read_text() == "AAAA\nBBBB\n" and runs(tmp_path) == 2
    assert any("damaged" in rec.getMessage() for rec in caplog.records)
    (entry,) = entries(cache)
    assert sha256(entry / "files" / "joined") == sha256(fresh)


LAYOUT_TOOL = """#!/bin/sh
echo "$$" >> "$COUNTER"
if [ "$1" = tree ]; then
  mkdir -p tree/deep aux
  printf x > tree/deep/a; printf yy > tree/b; chmod 640 tree/b
  echo report > report.txt; echo aside > aux/note
else
  echo "only said"
fi
"""


def tree_of(folder: Path) -> dict:
    return {str(p.relative_to(folder)): (p.stat().st_mode, p.read_bytes() if p.is_file() else None)
            for p in sorted(folder.rglob("*"))}


@pytest.mark.parametrize("mode, outputs", [
    ("tree", {"tree": {"type": "dir"}, "report": {"type": "txt"}, "empty": {"type": "dir"}}),
    ("say", {}),  # the standard-output fallback
])
def test_a_restore_delivers_what_the_run_delivered(tool, bindir, tmp_path, mode, outputs):
    exe = bindir / "layout"
    exe.write_text(LAYOUT_TOOL)
    exe.chmod(0o755)
    m = {"entrypoint": "layout", "args_template": mode, "outputs": outputs}
    r = RIVO(run_cache=str(tmp_path / "cache"))
    real = r.run("layout", m, {}, str(tmp_path / "o1"))
    restored = r.run("layout", m, {}, str(tmp_path / "o2"))
    assert runs(tmp_path) == 1
    assert {k: v and v.replace("/o1/", "/o2/") for k, v in real.items()} == restored
    assert tree_of(tmp_path / "o1") == tree_of(tmp_path / "o2") != {}


def test_a_recovered_run_is_recorded_and_reused(tool, bindir, tmp_path):
    exe = bindir / "flagged"
    exe.write_text('#!/bin/sh\necho "$$" >> "$COUNTER"\n[ "$1" = --in ] || exit 2\ncat "$2" > out\n')
    exe.chmod(0o755)
    asked = []

    class Inferring(RIVO):
        def _infer_args(self, tool_name, manifest, staged):
            asked.append(tool_name)
            return ["--in", staged["src"].name]

    m = {"entrypoint": "flagged", "outputs": {"out": {"type": "txt"}}}
    r = Inferring(run_cache=str(tmp_path / "cache"))
    first = r.run("flagged", m, {"src": tool["r1"]}, str(tmp_path / "o1"))
    again = r.run("flagged", m, {"src": tool["r1"]}, str(tmp_path / "o2"))
    assert Path(again["out"]).read_text() == Path(first["out"]).read_text() == "AAAA\n"
    assert runs(tmp_path) == 2 and asked == ["flagged"]  # two attempts, once; then a hit
    done, hit = journal(tmp_path / "cache")
    assert done["recovery"] == "LLM-written arguments" and hit["status"] == "restored"
    assert done["arguments"] == ["rivo", "exec", "flagged", "--in", "a.txt"]


def test_prune_removes_least_recently_used_first_never_an_entry_in_use(tool, tmp_path):
    cache = tmp_path / "cache"
    r = RIVO(run_cache=str(cache))
    for n in (1, 2, 3):
        Path(tool["r2"]).write_text(f"B{n}\n" * 1000)
        r.run("join_count", JOIN, tool, str(tmp_path / f"o{n}"))
    Path(tool["r2"]).write_text("B1\n" * 1000)
    r.run("join_count", JOIN, tool, str(tmp_path / "again1"))  # entry 1 used last now
    by_age = sorted(entries(cache), key=lambda p: p.stat().st_mtime)
    size = sum(f.stat().st_size for f in by_age[0].rglob("*") if f.is_file() and f.name != "manifest.json")
    with open(cache / "locks" / f"{by_age[0].name}.lock") as held:  # a run holds the oldest
        fcntl.flock(held, fcntl.LOCK_EX)
        res = r.prune_run_cache(2 * size)
    assert res["removed"] == 1 and res["in_use"] == 1 and res["remaining"] <= 2 * size
    assert set(entries(cache)) == {by_age[0], by_age[2]}
    assert r.prune_run_cache(0)["removed"] == 2 and entries(cache) == []


def test_cache_argument_and_environment(tool, tmp_path, monkeypatch, caplog):
    with pytest.raises(TypeError, match="run_cache"):
        RIVO(run_cache=tmp_path)
    with pytest.raises(TypeError):
        RIVO(None, None, str(tmp_path))  # keyword-only
    monkeypatch.setenv("TAVRO_RUN_CACHE", str(tmp_path / "envcache"))
    RIVO().run("join_count", JOIN, tool, str(tmp_path / "o1"))
    assert len(entries(tmp_path / "envcache")) == 1
    monkeypatch.delenv("TAVRO_RUN_CACHE")
    RIVO().run("join_count", JOIN, tool, str(tmp_path / "o2"))  # no cache named: runs
    assert runs(tmp_path) == 2
    # Left to rivo's choice the backend is not known before the run: not cached, and said so.
    monkeypatch.delenv("RIVO_BACKEND")
    caplog.set_level(logging.INFO, logger=LOGGER)
    for n in (3, 4):
        RIVO(run_cache=str(tmp_path / "auto")).run("join_count", JOIN, tool, str(tmp_path / f"o{n}"))
    assert runs(tmp_path) == 4 and entries(tmp_path / "auto") == []
    assert any(r.msg.startswith("Run cache not used for %s") for r in caplog.records)
    with pytest.raises(ValueError, match="no run cache"):
        RIVO().export_provenance(str(tmp_path / "crate"))

    class NoDocker(RIVO):  # a broken override costs the cache of Docker runs, never the run
        def _real_docker(self):
            raise OSError("no docker here")

    monkeypatch.setenv("RIVO_BACKEND", "docker")
    with pytest.raises(RuntimeError):  # rivo itself finds no docker: the run's own failure
        NoDocker(run_cache=str(tmp_path / "nd")).run("join_count", JOIN, tool, str(tmp_path / "o5"))
    assert journal(tmp_path / "nd")[-1]["status"] == "failed"


def test_a_run_through_slurm_is_cached_as_a_local_one(slurm_env, tool, tmp_path):
    r = RIVO(executor="slurm", run_cache=str(tmp_path / "cache"))
    r.run("join_count", JOIN, tool, str(tmp_path / "o1"))
    again = r.run("join_count", JOIN, tool, str(tmp_path / "o2"))
    assert Path(again["joined"]).read_text() == "AAAA\nBBBB\n" and runs(tmp_path) == 1
    assert sum(name.startswith("run-join_count-") for _, name, _ in slurm_env.jobs(every_state=True)) == 1
    assert [x["status"] for x in journal(tmp_path / "cache")] == ["completed", "restored"]


# ------------------------------------------------ real tools and the crate

WFRUN = "https://w3id.org/ro/terms/workflow-run#"


def validate_offline(crate_dir: Path, http_cache: Path):
    """rocrate-validator on the crate, at REQUIRED level, without the network.

    The validator fetches the crate's contexts through its HTTP cache; they
    are put there first: the RO-Crate context from the copy the `rocrate`
    package ships (its 1.3 context holds every 1.1 term the crate uses), the
    workflow-run terms from a context written here.
    """
    import importlib.resources
    import io

    import requests
    import requests_cache
    import urllib3
    from rocrate_validator import models, services

    ctx = json.loads((importlib.resources.files("rocrate") / "data" / "ro-crate.jsonld").read_text())
    docs = {
        "https://w3id.org/ro/crate/1.1/context": {"@context": ctx["@context"]},
        "https://w3id.org/ro/terms/workflow-run/context": {"@context": {
            t: WFRUN + t for t in ("ContainerImage", "DockerImage", "SIFImage", "containerImage",
                                   "registry", "tag")}},
    }

    class Local(requests.adapters.HTTPAdapter):
        def send(self, request, **kw):
            raw = urllib3.HTTPResponse(body=io.BytesIO(json.dumps(docs[request.url]).encode()),
                                       headers={"Content-Type": "application/ld+json"}, status=200,
                                       preload_content=False, request_url=request.url)
            return self.build_response(request, raw)

    session = requests_cache.CachedSession(str(http_cache), backend="sqlite", expire_after=-1)
    session.mount("https://w3id.org/", Local())
    for url in docs:
        for accept in ("application/ld+json, application/json",
                       "application/ld+json, application/json, */*;q=0.1"):
            session.get(url, headers={"Accept": accept}).raise_for_status()
    session.close()
    settings = services.ValidationSettings(
        rocrate_uri=str(crate_dir), profile_identifier="process-run-crate",
        requirement_severity=models.Severity.REQUIRED, offline=True, cache_path=http_cache)
    return services.validate(settings)


@pytest.mark.slow
def test_two_node_pipeline_twice_and_its_crate(local_rivo_path, genome, tmp_path, monkeypatch,
                                               isolated_tmp, caplog):
    for t in ("minimap2", "samtools"):
        if not __import__("shutil").which(t):
            pytest.skip(f"{t} is needed")
    monkeypatch.setenv("RIVO_BACKEND", "local")
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    ref, reads = genome
    cache = tmp_path / "cache"
    r = RIVO(run_cache=str(cache))
    m_align, m_sort = manifest(r, "minimap2"), manifest(r, "samtools_sort")

    def pipeline(out: Path) -> Path:
        sam = r.run("minimap2", m_align, {"reference": str(ref), "reads": str(reads)}, str(out / "align"))
        bam = r.run("samtools_sort", m_sort, {"alignment": sam["alignment"]}, str(out / "sort"))
        return Path(bam["sorted"])

    first = pipeline(tmp_path / "run1")
    caplog.set_level(logging.INFO, logger=LOGGER)
    second = pipeline(tmp_path / "run2")
    hits = [rec for rec in caplog.records if rec.msg.startswith("Run cache hit")]
    assert len(hits) == 2 and not any(rec.msg.startswith("Running rivo exec") for rec in caplog.records)
    assert second.read_bytes() == first.read_bytes()

    crate = tmp_path / "crate"
    path = r.export_provenance(str(crate))
    assert path == str(crate / "ro-crate-metadata.json")
    result = validate_offline(crate, tmp_path / "http-cache")
    assert result.passed(), [i.message for i in result.get_issues()]

    graph = {e["@id"]: e for e in json.loads(Path(path).read_text())["@graph"]}
    actions = [e for e in graph.values() if e["@type"] == "CreateAction"]
    assert [a["name"] for a in actions] == ["Run of minimap2", "Run of samtools_sort",
                                            "Restore of minimap2 from the run cache",
                                            "Restore of samtools_sort from the run cache"]
    assert all(a["actionStatus"] == "http://schema.org/CompletedActionStatus" for a in actions)
    assert graph[actions[0]["instrument"]["@id"]]["@type"] == "SoftwareApplication"
    # A restore names the run that made the entry.
    assert f"made by run {actions[0]['identifier']}" in actions[2]["description"]
    # Every file named in the crate holds what the crate says, inputs included.
    for a in actions:
        for ref_ in (a.get("object", []) if isinstance(a.get("object"), list) else [a["object"]]) + \
                (a["result"] if isinstance(a["result"], list) else [a["result"]]):
            f = graph[ref_["@id"]]
            local = Path(f["@id"].removeprefix("file://").split("#")[0])
            assert f["sha256"] == sha256(local) and int(f["contentSize"]) == local.stat().st_size
    restored_sort = actions[3]["result"]
    ids = [x["@id"] for x in (restored_sort if isinstance(restored_sort, list) else [restored_sort])]
    assert f"file://{second}" in ids


# ------------------------------------------------------------ Docker

GREET = "#!/bin/sh\necho {word}\n"


@pytest.mark.docker
def test_two_images_under_one_tag_miss(docker_env, local_rivo_path, tmp_path, monkeypatch, isolated_tmp):
    """A tag rebuilt after `rivo add` runs the new image; the cache must see that."""
    import images

    ref = "tavro-test/greet:1"
    registry = tmp_path / "registry"
    registry.mkdir()
    (registry / "greet.toml").write_text(
        f'image = "{ref}"\nentrypoint = "greet"\nargs_template = "> {{said}}"\n'
        'binaries = ["greet"]\n\n[outputs.said]\ntype = "txt"\n')
    monkeypatch.setenv("RIVO_REGISTRY", str(registry))
    monkeypatch.delenv("RIVO_BACKEND", raising=False)
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    first_id = images.build(ref, [], docker_env.env, extra={"usr/bin/greet": GREET.format(word="one")})
    r = RIVO(backend="docker", run_cache=str(tmp_path / "cache"))
    r.add("greet")
    m = manifest(r, "greet")
    assert Path(r.run("greet", m, {}, str(tmp_path / "o1"))["said"]).read_text() == "one\n"
    assert Path(r.run("greet", m, {}, str(tmp_path / "o2"))["said"]).read_text() == "one\n"  # a hit
    second_id = images.build(ref, [], docker_env.env, extra={"usr/bin/greet": GREET.format(word="two")})
    assert second_id != first_id
    assert Path(r.run("greet", m, {}, str(tmp_path / "o3"))["said"]).read_text() == "two\n"
    recs = journal(tmp_path / "cache")
    assert [x["status"] for x in recs] == ["completed", "restored", "completed"]
    assert recs[0]["image"]["identity"] == first_id and recs[2]["image"]["identity"] == second_id
    docker_env.docker("rmi", "-f", ref, check=False)
