"""RIVO.run through SLURM on the private cluster of conftest, and the
resources a run declares: the example pipeline with the same outputs as
locally, the job's resources, a time-out and an interrupt that end the job,
the scheduler queueing runs from several threads, a sandbox a job cannot
see, and the out-of-memory note."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
from helpers import REPO, needs_local_rivo, run_example_pipeline

from tavro.helpers.rivo import RIVO

SLEEPER = {"entrypoint": "sh", "args_template": "-c 'sleep 100; :' {marker}", "outputs": {}}


def processes_with(marker: str) -> list[str]:
    out = subprocess.run(["ps", "-eo", "pid,args"], capture_output=True, text=True).stdout
    return [line for line in out.splitlines() if marker in line and "ps -eo" not in line]


def last_job_of(cluster, tool: str) -> str:
    """The id of the newest job that ran `tool` (job names are the sandboxes' names)."""
    ids = [int(i) for i, name, _ in cluster.jobs(every_state=True) if name.startswith(f"run-{tool}-")]
    assert ids, cluster.jobs(every_state=True)
    return str(max(ids))


def wait_for(condition, seconds: float = 30) -> bool:
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.2)
    return condition()


@pytest.mark.slow
@needs_local_rivo()
def test_example_pipeline_through_slurm_gives_the_local_outputs(slurm_env, tmp_path, monkeypatch):
    monkeypatch.delenv("RIVO_BACKEND", raising=False)
    trees = {}
    for executor in ("local", "slurm"):
        monkeypatch.setenv("RIVO_EXECUTOR", executor)
        work = tmp_path / executor
        out = run_example_pipeline("local", work, timeout=110, drop_env=("PIPELINE_VOLUME_PATH",))
        assert out.returncode == 0, out.stderr
        assert "400 + 0 mapped (100.00% : N/A)" in out.stdout
        root = work / "outputs"
        trees[executor] = {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*"))
                           if p.is_file()}
    assert trees["slurm"] == trees["local"] and len(trees["local"]) >= 4
    assert sum(name.startswith("run-") for _, name, _ in slurm_env.jobs(every_state=True)) >= 4


@pytest.mark.parametrize("declared, definition, job, seen", [
    ({"cpus": 1.5, "memory": "100 MiB", "time": "1h30m"}, None, ("2", "100M", "01:30:00"), "1.5 100 MiB 1h30m"),
    # the definition fills in what the manifest leaves out (rivo knows it already)
    ({"time": "1h"}, {"cpus": 2, "memory": "64 MiB"}, ("2", "64M", "01:00:00"), "  1h"),
    (None, {"cpus": 1, "memory": "1 GiB", "time": "2m"}, ("1", "1G", "00:02:00"), ""),
])
def test_resources_reach_the_job_and_the_tool(slurm_env, fake_rivo, tmp_path, declared, definition, job, seen):
    if definition:
        fake_rivo.behave(f"""
            if args[:2] == ["show", "resjob"]:
                print(json.dumps({{"name": "resjob", "resources": {definition!r}}}))
                sys.exit(0)
        """)
    manifest = {"entrypoint": "sh", "args_template": "-c 'echo $RIVO_CPUS $RIVO_MEMORY $RIVO_TIME' > {out}",
                "outputs": {"out": {}}}
    if declared:
        manifest["resources"] = declared
    res = RIVO(executor="slurm").run("resjob", manifest, {}, str(tmp_path / "o"))
    assert Path(res["out"]).read_text().split() == seen.split()
    shown = slurm_env.run("scontrol", "show", "job", "-o", last_job_of(slurm_env, "resjob")).stdout
    fields = dict(f.split("=", 1) for f in shown.split() if "=" in f)
    assert (fields["NumCPUs"], fields["MinMemoryNode"], fields["TimeLimit"]) == job
    assert fields["WorkDir"].startswith(str(tmp_path / "systmp" / "tavro_sandboxes" / "run-resjob-"))


def test_a_time_out_cancels_the_job(slurm_env, fake_rivo, tmp_path):
    marker = f"tavro-timeout-{os.getpid()}"
    manifest = dict(SLEEPER, resources={"time": "3s"})
    start = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        RIVO(executor="slurm").run("sleeper", manifest, {"marker": marker}, str(tmp_path / "o"))
    assert time.monotonic() - start < 20
    assert str(info.value) == (f"rivo exec sh -c sleep 100; : {marker} timed out after 3s"
                               " — the tool did not finish within the time limit")
    assert wait_for(lambda: not slurm_env.jobs()), slurm_env.jobs()
    assert wait_for(lambda: not processes_with(marker)), processes_with(marker)


def test_a_recovery_retry_is_a_second_job_on_a_fresh_output(slurm_env, fake_rivo, tmp_path):
    # No template: the staged script is the positional argument; it prints
    # and fails, and the LLM's arguments run as a second job whose output
    # alone is the run's standard output.
    script = tmp_path / "first.sh"
    script.write_text("echo first attempt; exit 3\n")

    class Argued(RIVO):
        def _infer_args(self, tool_name, manifest, staged):
            return ["-c", "echo second"]

    res = Argued(executor="slurm").run("retry", {"entrypoint": "sh", "outputs": {}}, {"script": str(script)},
                                       str(tmp_path / "o"))
    assert Path(res["stdout"]).read_text() == "second\n"
    assert [c["argv"][2:] for c in fake_rivo.calls if c["argv"][:1] == ["exec"]] == [["first.sh"],
                                                                                     ["-c", "echo second"]]
    assert sum(name.startswith("run-retry-") for _, name, _ in slurm_env.jobs(every_state=True)) == 2


def test_time_in_the_queue_does_not_count(slurm_env, fake_rivo, tmp_path):
    # Every CPU is taken for 5 s: the run, limited to 3 s, waits that long
    # in the queue and then runs for 1 s.
    blocker = subprocess.Popen(["srun", f"--cpus-per-task={slurm_env.cpus}", "--job-name=blocker", "sleep", "5"])
    try:
        assert wait_for(lambda: ("RUNNING" in {s for _, n, s in slurm_env.jobs() if n == "blocker"}))
        manifest = {"entrypoint": "sleep", "args_template": "1", "outputs": {}, "resources": {"time": "3s"}}
        start = time.monotonic()
        RIVO(executor="slurm").run("waiter", manifest, {}, str(tmp_path / "o"))
        assert time.monotonic() - start > 5
    finally:
        blocker.wait(timeout=60)


@pytest.mark.docker
@needs_local_rivo()
def test_a_cancelled_container_run_leaves_no_container(slurm_env, docker_env, local_rivo_path, tmp_path,
                                                         monkeypatch, isolated_tmp):
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    monkeypatch.delenv("RIVO_BACKEND", raising=False)
    RIVO(backend="docker").add("minimap2")  # its image holds sh and sleep
    marker = f"tavro-container-{os.getpid()}"
    manifest = dict(SLEEPER, resources={"time": "4s"})
    with pytest.raises(RuntimeError, match="timed out after 4s"):
        RIVO(executor="slurm").run("sleeper", manifest, {"marker": marker}, str(tmp_path / "o"))
    # The job's end reached rivo on the node, which removed its container.
    assert wait_for(lambda: docker_env.docker("ps", "-aq").stdout == ""), docker_env.docker("ps", "-a").stdout
    assert wait_for(lambda: not slurm_env.jobs()), slurm_env.jobs()
    assert wait_for(lambda: not processes_with(marker)), processes_with(marker)


@pytest.mark.docker
@needs_local_rivo()
def test_a_containers_resources_and_memory_under_slurm(slurm_env, docker_env, local_rivo_path, tmp_path,
                                                       monkeypatch, isolated_tmp):
    # The definition declares 1 CPU, 64 MiB and 10 minutes; the manifest none.
    reg = tmp_path / "registry"
    reg.mkdir()
    shutil.copy(REPO / "tests" / "data" / "registry" / "bounded_shell.toml", reg)
    monkeypatch.setenv("RIVO_REGISTRY", str(reg))
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(tmp_path / "vol"))
    for var in ("RIVO_BACKEND", "RIVO_CPUS", "RIVO_MEMORY", "RIVO_TIME"):
        monkeypatch.delenv(var, raising=False)
    RIVO(backend="docker").add("bounded_shell")
    r = RIVO(executor="slurm")
    run = threading.Thread(target=r.run, args=("bounded_shell", {"entrypoint": "sh", "args_template": "-c 'sleep 3'",
                                                                 "outputs": {}}, {}, str(tmp_path / "o1")))
    run.start()
    try:
        assert wait_for(lambda: docker_env.docker("ps", "-q").stdout.strip()), "no container started"
        cid = docker_env.docker("ps", "-q").stdout.split()[0]
        host = json.loads(docker_env.docker("inspect", "-f", "{{json .HostConfig}}", cid).stdout)
    finally:
        run.join()
    assert (host["NanoCpus"], host["Memory"], host["MemorySwap"]) == (10**9, 64 << 20, 64 << 20)
    shown = slurm_env.run("scontrol", "show", "job", "-o", last_job_of(slurm_env, "bounded_shell")).stdout
    fields = dict(f.split("=", 1) for f in shown.split() if "=" in f)
    assert (fields["NumCPUs"], fields["MinMemoryNode"], fields["TimeLimit"]) == ("1", "64M", "00:10:00")

    hog = {"entrypoint": "sh", "args_template": "-c 'a=x; while :; do a=$a$a; done'", "outputs": {}}
    with pytest.raises(RuntimeError) as info:
        r.run("bounded_shell", hog, {}, str(tmp_path / "o2"))
    assert str(info.value).startswith("rivo exec sh -c a=x; while :; do a=$a$a; done failed (exit 137)")
    assert str(info.value).endswith(
        '\nThe tool ran out of memory at its limit of 64 MiB; raise "memory" in its resources.')
    assert docker_env.docker("ps", "-aq").stdout == ""


HOST = r"""
import sys
from tavro.helpers.rivo import RIVO
print("started", flush=True)
try:
    RIVO(executor="slurm").run("sleeper", {sleeper!r}, {{"marker": sys.argv[1]}}, sys.argv[2])
except KeyboardInterrupt:
    print("interrupted", flush=True)
    raise SystemExit(3)
"""


@pytest.mark.parametrize("sig, returncode, printed", [
    (signal.SIGINT, 3, ["started", "interrupted"]),  # KeyboardInterrupt, once the job is gone
    (signal.SIGTERM, -signal.SIGTERM, ["started"]),  # the default end, once the job is gone
])
def test_ctrl_c_or_sigterm_of_the_host_cancels_the_job(slurm_env, fake_rivo, tmp_path, sig, returncode, printed):
    marker = f"tavro-interrupt-{os.getpid()}-{sig}"
    host = subprocess.Popen([sys.executable, "-c", HOST.format(sleeper=SLEEPER), marker, str(tmp_path / "o")],
                            stdout=subprocess.PIPE, text=True)
    try:
        assert wait_for(lambda: processes_with(marker)), "the job never started"
        host.send_signal(sig)
        out, _ = host.communicate(timeout=30)
    finally:
        if host.poll() is None:
            host.kill()
    assert (host.returncode, out.split()) == (returncode, printed)
    assert wait_for(lambda: not slurm_env.jobs()), slurm_env.jobs()
    assert wait_for(lambda: not processes_with(marker)), processes_with(marker)


def test_the_scheduler_queues_runs_from_threads(slurm_env, fake_rivo, tmp_path):
    # 8 runs of one CPU each from 4 threads on a node with 2 CPUs: the host
    # submits 4 at a time and the scheduler runs 2 of them at once.
    manifest = {"entrypoint": "sh", "outputs": {"span": {}}, "resources": {"cpus": 1},
                "args_template": "-c 'date +%s.%N; sleep 1; date +%s.%N' > {span}"}
    spans, errors = [], []

    def worker(k: int):
        try:
            for i in range(2):
                res = RIVO(executor="slurm").run("queued", manifest, {}, str(tmp_path / f"o{k}-{i}"))
                spans.append(tuple(map(float, Path(res["span"]).read_text().split())))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    start = time.monotonic()
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    assert not errors and len(spans) == 8
    edges = sorted([(s, 1) for s, _ in spans] + [(e, -1) for _, e in spans])
    running = most = 0
    for _, step in edges:
        running += step
        most = max(most, running)
    assert most == slurm_env.cpus  # never more at once than the node has CPUs, and that many
    first, last = min(s for s, _ in spans), max(e for _, e in spans)
    print(f"8 runs of 1 s from 4 threads on {slurm_env.cpus} CPUs: {elapsed:.2f} s, "
          f"first start to last end {last - first:.2f} s")


def test_a_sandbox_the_job_cannot_see_is_refused(slurm_env, fake_rivo, tmp_path, isolated_tmp):
    # The submitter's temporary folder is a tmpfs of its own mount namespace:
    # the node's job step finds nothing there.
    script = tmp_path / "host.py"
    script.write_text(textwrap.dedent("""
        import sys
        from tavro.helpers.rivo import RIVO
        try:
            RIVO(executor="slurm").run("echo", {"args_template": "hi", "outputs": {}}, {}, sys.argv[1])
        except FileNotFoundError as e:
            print(e)
    """))
    out = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                          'mount -t tmpfs tmpfs "$TMPDIR" && exec "$0" "$@"', sys.executable, str(script),
                          str(tmp_path / "o")], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "is not visible to SLURM jobs" in out.stdout and "Point TMPDIR" in out.stdout
    assert [c for c in fake_rivo.calls if c["argv"][:1] == ["exec"]] == []  # the tool never ran
    assert not (tmp_path / "o").exists()


FAKE_SRUN = r"""#!/bin/sh
# srun stand-in: the job step writes its files and is killed for memory.
for a in "$@"; do
  case "$a" in
    --output=*) out=$(printf %s "${a#--output=}" | sed 's/%t$/0/; s/%%/%/g');;
    --error=*) err=$(printf %s "${a#--error=}" | sed 's/%t$/0/; s/%%/%/g');;
  esac
done
: > "$out"
echo "slurmstepd: error: Detected 1 oom-kill event(s)" > "$err"
echo "srun: error: node1: task 0: Out Of Memory" >&2
exit 137
"""


OOM = 'The tool ran out of memory at its limit of {}; raise "memory" in its resources.'


@pytest.mark.parametrize("stderr, state, declared, note", [
    # rivo's own line (a container killed at its limit), under SLURM or not
    ("rivo: out of memory: the tool was killed at its memory limit of 64 MiB", "FAILED", None, OOM.format("64 MiB")),
    # the scheduler's verdict on the job, with the declared limit or the job's
    ("", "OUT_OF_MEMORY", {"memory": "1.5 GiB"}, OOM.format("1.5 GiB")),
    ("", "OUT_OF_MEMORY", None, OOM.format("256M")),
    ("", "TIMEOUT", None, 'The job reached its time limit of 2:00 on the cluster; raise "time" in its resources.'),
    # exit 137 alone is no proof
    ("killed", "FAILED", None, None),
])
def test_out_of_memory_note(fake_rivo, bindir, tmp_path, stderr, state, declared, note):
    manifest = {"entrypoint": "tool", "outputs": {}}
    if declared:
        manifest["resources"] = declared
    if state != "FAILED":
        (bindir / "srun").write_text(FAKE_SRUN)
        (bindir / "squeue").write_text(f"#!/bin/sh\necho '41|{state}|256M|2:00|N/A'\n")
        (bindir / "scancel").write_text("#!/bin/sh\n")
        for p in ("srun", "squeue", "scancel"):
            (bindir / p).chmod(0o755)
        r = RIVO(executor="slurm")
    else:
        fake_rivo.behave(f"""
            if args[:1] == ["exec"]:
                sys.stderr.write({stderr!r} + "\\n")
                sys.exit(137)
        """)
        r = RIVO()
    with pytest.raises(RuntimeError) as info:
        r.run("tool", manifest, {}, str(tmp_path / "o"))
    text = str(info.value)
    assert text.startswith("rivo exec tool failed (exit 137):\nSTDOUT: ")
    if note:
        assert text.endswith("\n" + note)
    else:
        assert "out of memory" not in text


@pytest.mark.parametrize("resources, env, error", [
    ({"cpus": 2, "memory": "4 GiB", "time": "2h"}, {"RIVO_CPUS": "2", "RIVO_MEMORY": "4 GiB", "RIVO_TIME": "2h"},
     None),
    ({"memory": "512M"}, {"RIVO_MEMORY": "512M"}, None),
    (None, {}, None),
    ({"memory": "4096"}, None, 'Invalid "memory" in the manifest\'s resources'),
    ({"time": "2 hours"}, None, 'Invalid "time"'),
    ({"cpus": True}, None, 'Invalid "cpus"'),
    ([2], None, 'The manifest\'s "resources" must be a dict'),
])
def test_manifest_resources_reach_rivo_exec(fake_rivo, isolated_tmp, tmp_path, resources, env, error):
    manifest = {"entrypoint": "true", "outputs": {}}
    if resources is not None:
        manifest["resources"] = resources
    if error:
        with pytest.raises(ValueError, match=error):
            RIVO().run("true", manifest, {}, str(tmp_path / "o"))
        assert fake_rivo.calls == [] and not (isolated_tmp / "tavro_sandboxes").exists()
        return
    RIVO().run("true", manifest, {}, str(tmp_path / "o"))
    seen = fake_rivo.calls[-1]["env"]
    assert {k: seen[k] for k in ("RIVO_CPUS", "RIVO_MEMORY", "RIVO_TIME") if k in seen} == env

    # A replaced _run gets the same environment, and a declared time as its limit.
    class Recording(RIVO):
        def _run(self, cmd, **kw):
            given.append(kw)
            return super()._run(cmd, **kw)

    given = []
    Recording().run("true", manifest, {}, str(tmp_path / "o2"))
    assert {k: given[0]["env"][k] for k in env} == env
    assert given[0].get("timeout") == (7200 if "RIVO_TIME" in env else None)


@pytest.mark.parametrize("kwargs, variable, error", [
    ({}, "", None),
    ({"executor": "slurm", "slurm_partition": "debug", "slurm_args": ["--qos=low"]}, "local", None),
    ({}, "slurm", None),
    ({"executor": "pbs"}, "", 'executor must be "local" or "slurm"'),
    ({}, "lsf", 'RIVO_EXECUTOR must be "local" or "slurm"'),
])
def test_executor_choice(monkeypatch, kwargs, variable, error):
    monkeypatch.setenv("RIVO_EXECUTOR", variable)
    if error:
        with pytest.raises(ValueError, match=error):
            RIVO(**kwargs)
        return
    r = RIVO(**kwargs)
    assert r.executor == kwargs.get("executor", variable or "local")
    assert (r.slurm_partition, r.slurm_args) == (kwargs.get("slurm_partition"), kwargs.get("slurm_args", []))
    with pytest.raises(TypeError):
        RIVO(None, None, "slurm")  # keyword-only
