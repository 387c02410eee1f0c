"""Connector generation from several processes into one store (linkwell)."""

from __future__ import annotations

import fcntl
import multiprocessing
import os
import threading
import time

import pytest

from tavro.helpers import linkwell
from tavro.node import ToolNode

WORKERS, EDGES = 3, 8


class SlowLLM:
    """Writes each requested connector, slowly enough that workers overlap."""

    def call(self, prompt):
        names = prompt.rsplit("with these exact names: ", 1)[1].rstrip(".").split(", ")
        time.sleep(0.02)
        return "\n\n".join(f"def {n}(output):\n    return {{'by': {n!r}, 'out': output}}" for n in names)


def _worker(lw, w, barrier, results):
    barrier.wait()
    try:
        for i in range(EDGES):
            up, down = ToolNode(f"w{w}_up{i}"), ToolNode(f"w{w}_down{i}")
            name = lw.generateConnector(up, down)
            # the process's own edges load, whatever the others wrote meanwhile
            assert lw.getConnector(up, down)({"x": i}) == {"by": name, "out": {"x": i}}
        results.put((w, "ok"))
    except BaseException as e:  # reported to the parent, which asserts
        results.put((w, repr(e)))


@pytest.fixture
def store(tmp_path, monkeypatch):
    path = tmp_path / "vol" / "connectors.py"
    path.parent.mkdir()
    monkeypatch.setenv("TAVRO_CONNECTORS_PATH", str(path))
    monkeypatch.setattr(linkwell, "_default_llm", SlowLLM)
    return path


def test_forked_workers_keep_every_connector(store):
    lw = linkwell.Linkwell()  # built by the host before it forks its workers
    ctx = multiprocessing.get_context("fork")
    barrier, results = ctx.Barrier(WORKERS), ctx.Queue()
    procs = [ctx.Process(target=_worker, args=(lw, w, barrier, results)) for w in range(WORKERS)]
    for p in procs:
        p.start()
    outcome = dict(results.get(timeout=120) for _ in procs)
    for p in procs:
        p.join(30)
    assert outcome == {w: "ok" for w in range(WORKERS)}
    text = store.read_text()
    names = [f"edge_w{w}_up{i}_to_w{w}_down{i}" for w in range(WORKERS) for i in range(EDGES)]
    assert all(text.count(f"def {n}(") == 1 for n in names)
    # The host, which generated nothing itself, finds all of them in the store.
    for w in range(WORKERS):
        for i in range(EDGES):
            up, down = ToolNode(f"w{w}_up{i}"), ToolNode(f"w{w}_down{i}")
            assert lw.generateConnector(up, down) == f"edge_w{w}_up{i}_to_w{w}_down{i}"
            assert lw.getConnector(up, down)({})["by"] == f"edge_w{w}_up{i}_to_w{w}_down{i}"


def _hold(path, ready, release):
    with open(path, "a") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        ready.set()
        release.wait(30)


def test_store_waits_for_another_process_and_logs_it(store, caplog):
    lw = linkwell.Linkwell()
    lock = str(store) + ".lock"
    assert os.path.exists(lock)
    ctx = multiprocessing.get_context("fork")
    ready, release = ctx.Event(), ctx.Event()
    holder = ctx.Process(target=_hold, args=(lock, ready, release))
    holder.start()
    try:
        assert ready.wait(30)
        threading.Timer(1.5, release.set).start()
        t0 = time.monotonic()
        with caplog.at_level("DEBUG", logger="tavro.helpers.linkwell"):
            lw.generateConnector(ToolNode("a"), ToolNode("b"))
        assert time.monotonic() - t0 >= 1.4
    finally:
        release.set()
        holder.join(30)
    assert "Waiting for the connector store lock" in caplog.text
    assert lw.getConnector(ToolNode("a"), ToolNode("b"))({}) == {"by": "edge_a_to_b", "out": {}}
